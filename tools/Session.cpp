#include "Session.h"

#include <algorithm>

#include "Diagnostics.h"
#include "ExplainedEngine.h"
#include "NativeEngine.h"
#include "Ntfs3gEngine.h"
#include "PartitionTable.h"
#include "VolumeFacts.h"

namespace volcore::tool {

EEngineChoice EngineFor(const SCommandLine& line) {
    if (line.global.engine != EEngineChoice::Default) return line.global.engine;
    return NativeEngineServes(line.command) ? EEngineChoice::Native : EEngineChoice::Ntfs3g;
}

bool CSession::OpenDevice(const SCommandLine& line, platform::EAccess access) {
    m_imagePath = line.operands.at(0);
    m_access = access;
    std::string error;
    if (!m_device.Open(m_imagePath, access, error) || !ApplyWindow(line)) {
        if (!error.empty()) ReportFailure(Context(line), error);
        return false;
    }
    return true;
}

bool CSession::ApplyWindow(const SCommandLine& line) {
    uint64_t offset = line.global.offset.value_or(0);
    uint64_t length = m_device.RawSize() - std::min(offset, m_device.RawSize());
    if (line.global.partition) {
        SPartitionExtent extent;
        std::string error;
        if (!FindPartition(m_device, *line.global.partition, extent, error)) {
            ReportFailure(Context(line), error);
            return false;
        }
        offset = extent.offset;
        length = extent.length;
    } else if (offset > m_device.RawSize()) {
        ReportFailure(Context(line), "--offset lies beyond the end of the image");
        return false;
    }
    m_device.SetWindow(offset, length);
    return true;
}

bool CSession::Mount(const SCommandLine& line) {
    if (RefuseDirtyVolume(line)) return false;
    CDiagnostics::Clear();
    m_engine = EngineFor(line) == EEngineChoice::Native ? OpenNativeEngine(m_device) : OpenNtfs3gEngine(m_device);
    if (m_engine) m_engine = ExplainFailures(std::move(m_engine));
    if (!m_engine) {
        ReportMountFailure(line);
        return false;
    }
    return true;
}

bool CSession::CheckBootSector(const SCommandLine& line, SBootSectorFacts& boot) {
    std::string error;
    if (ReadBootSector(m_device, boot, error)) return true;
    // Without a window the image may be a whole disk, the volume inside it.
    if (!line.global.partition && !line.global.offset && error == kNotNtfs)
        error += " (use --partition N for a whole disk)";
    ReportFailure(Context(line), error);
    return false;
}

// A session that did not finish left the volume marked dirty: writing more
// onto what it may have left half done could turn a leak into damage.
bool CSession::RefuseDirtyVolume(const SCommandLine& line) {
    uint16_t flags = 0;
    if (m_access == platform::EAccess::Read || line.Has("--force") || !ReadVolumeFlags(m_device, flags) ||
        (flags & kVolumeDirtyFlag) == 0)
        return false;
    ReportFailure(Context(line), "the volume is marked dirty (a session did not finish): run 'volkit check --repair' "
                                 "first, or use --force");
    return true;
}

// The library's reason is in its own terms ("Invalid OEM ID"); a volume that
// is no NTFS at all is said so, with the likely fix for a whole disk.
void CSession::ReportMountFailure(const SCommandLine& line) {
    SBootSectorFacts boot;
    const std::string reason = CDiagnostics::LastFailure();
    if (CheckBootSector(line, boot)) ReportFailure(Context(line), reason);
}

bool CSession::Close() {
    CDiagnostics::Clear();
    bool ok = !m_engine || m_engine->Close();
    m_engine.reset();
    ok = m_device.Flush() && ok;
    if (!ok) ReportFailure(m_imagePath + ": cannot write the volume back");
    return ok;
}

}  // namespace volcore::tool
