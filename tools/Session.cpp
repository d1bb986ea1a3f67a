#include "Session.h"

#include <algorithm>

#include "Diagnostics.h"
#include "NativeEngine.h"
#include "Ntfs3gEngine.h"
#include "PartitionTable.h"

namespace volkit::tool {

EngineChoice EngineFor(const CommandLine& line) {
    if (line.global.engine != EngineChoice::Default) return line.global.engine;
    return NativeEngineServes(line.command) ? EngineChoice::Native : EngineChoice::Ntfs3g;
}

bool Session::OpenDevice(const CommandLine& line, bool mayBeReadOnly, bool readOnly) {
    m_imagePath = line.operands.at(0);
    std::string error;
    if (!m_device.Open(m_imagePath, mayBeReadOnly, error, readOnly) || !ApplyWindow(line)) {
        if (!error.empty()) ReportFailure(error, "");
        return false;
    }
    return true;
}

bool Session::ApplyWindow(const CommandLine& line) {
    uint64_t offset = line.global.offset.value_or(0);
    uint64_t length = m_device.RawSize() - std::min(offset, m_device.RawSize());
    if (line.global.partition) {
        PartitionExtent extent;
        std::string error;
        if (!FindPartition(m_device, *line.global.partition, extent, error)) {
            ReportFailure(m_imagePath, error);
            return false;
        }
        // --offset then counts from the start of the partition.
        if (offset > extent.length) offset = extent.length;
        length = extent.length - offset;
        offset += extent.offset;
    } else if (offset > m_device.RawSize()) {
        ReportFailure(m_imagePath, "--offset lies beyond the end of the image");
        return false;
    }
    m_device.SetWindow(offset, length);
    return true;
}

bool Session::Mount(const CommandLine& line) {
    Diagnostics::Clear();
    m_engine = EngineFor(line) == EngineChoice::Native ? OpenNativeEngine(m_device) : OpenNtfs3gEngine(m_device);
    if (!m_engine) {
        ReportFailure(m_imagePath);
        return false;
    }
    return true;
}

bool Session::Close() {
    if (!m_engine) return true;
    Diagnostics::Clear();
    bool ok = m_engine->Close();
    m_engine.reset();
    ok = m_device.Flush() && ok;
    if (!ok) ReportFailure(m_imagePath + ": cannot write the volume back");
    return ok;
}

}  // namespace volkit::tool
