#pragma once
// The formatter: writes a complete, empty NTFS 3.1 volume onto a device.
#include "format/FormatContext.h"

namespace volcore::format {

// A failure raises CException with its reason (or the standard library's
// allocation failure); what was written by then is no volume.
void FormatVolume(const SFormatOptions& options, IIoDevice& device);
// The same with a fixed time stamp and serial number: equal inputs give equal bytes.
void FormatVolumeAt(const SFormatOptions& options, IIoDevice& device, uint64_t now, uint64_t serialNumber);

// The steps, in the order FormatVolume runs them.
void DecideLayout(SFormatContext& context);
void ZeroFillVolume(SFormatContext& context);
void PlanSystemRecords(SFormatContext& context);
void WriteRootIndexBlock(SFormatContext& context);
void WriteClusterBitmap(SFormatContext& context);
void WriteMftAndMirror(SFormatContext& context);

// Device writes shared by the steps.
void WriteThroughRuns(SFormatContext& context, const Runlist& runs, std::span<const uint8_t> data);
void FillThroughRuns(SFormatContext& context, const Runlist& runs, uint64_t size, uint8_t value);

}  // namespace volcore::format
