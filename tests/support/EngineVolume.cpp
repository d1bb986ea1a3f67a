#include "support/EngineVolume.h"

#include "base/IoDevice.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "index/UpCase.h"

namespace volcore::test {

using namespace volcore;

EngineVolume::EngineVolume(const std::string& imagePath, ELoadDepth depth)
    : m_path(imagePath), m_depth(depth), m_device(MemoryDevice::FromFile(imagePath)) {
    Open();
}

EngineVolume::~EngineVolume() = default;

void EngineVolume::Open() {
    m_volume = std::make_unique<CVolume>(std::make_shared<CIoDeviceImpl>(m_device.Api()), m_depth);
    if (m_depth != ELoadDepth::Full) {
        FileEntryPtr upcase = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), *m_volume);
        m_volume->SetUpCase(BuildUpCaseTable(upcase->GetAttribute(AttrType::Data)->ReadAll()));
    }
}

void EngineVolume::Close() {
    if (m_volume) m_volume->Flush();
    m_volume.reset();
    m_device.SaveToFile(m_path);
}

void EngineVolume::Reopen() {
    if (m_volume) m_volume->Flush();
    m_volume.reset();
    Open();
}

}  // namespace volcore::test
