#pragma once
// The formatter: writes a complete, empty NTFS 3.1 volume onto a device.
#include <functional>
#include <span>

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

// Device writes shared by the steps: `data` or `size` bytes laid into the
// clusters of `runs` from their start, which must hold them.
void WriteThroughRuns(SFormatContext& context, const RunMap& runs, std::span<const uint8_t> data);
// `produce` fills each piece of the work buffer with the bytes that start at
// `dataOffset`, so that large contents are never held whole.
using PieceProducer = std::function<void(uint64_t dataOffset, std::span<uint8_t> piece)>;
void StreamThroughRuns(SFormatContext& context, const RunMap& runs, uint64_t size, const PieceProducer& produce);
void FillThroughRuns(SFormatContext& context, const RunMap& runs, uint64_t size, uint8_t value);

}  // namespace volcore::format
