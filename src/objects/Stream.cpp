// Named $DATA streams of a file: each open stream is an object of its own
// that shares the file's entry, so that every change reaches one record.
#include "base/ContractTexts.h"
#include "base/NameRules.h"
#include "objects/File.h"
#include "disk/UpCase.h"
#include "objects/Volume.h"

namespace volcore {

CFile::CFile(const std::shared_ptr<CFile>& file, AttributePtr stream)
    : CFsObject(file->ShareEntry(), file->GetVolume()), m_data(std::move(stream)), m_dataFound(true), m_file(file) {}

// Stream names compare as file names do: the name as stored first, else one
// equal to it ignoring case.
AttributePtr CFile::FindStream(std::u16string_view name) const {
    if (AttributePtr exact = GetEntry().FindAttribute(AttrType::Data, name)) return exact;
    for (const auto& [key, attribute] : GetEntry().GetAttributes()) {
        if (key.type != AttrType::Data || key.occurrence != 0 || key.name.empty()) continue;
        if (CompareIgnoreCase(key.name, name, GetVolume().GetUpCase()) == ECollation::Equal) return attribute;
    }
    return nullptr;
}

std::shared_ptr<CFile> CFile::OpenStream(const std::shared_ptr<CFile>& file, std::u16string_view name) {
    if (name.empty()) return file;
    file->CheckUsable();
    AttributePtr stream = file->FindStream(name);
    if (!stream) throw CException(EErrorKind::Argument, "Stream %1 of %2 doesn't exist", name, file->GetName());
    if (auto open = file->m_streams[stream->GetName()].lock()) return open;
    auto object = std::make_shared<CFile>(file, stream);
    file->m_streams[stream->GetName()] = object;
    return object;
}

void CFile::CheckNewStreamName(std::u16string_view name) {
    if (const char* problem = NewNameProblem(name))
        throw CException(EErrorKind::Argument, "Invalid stream name %1: %2", name, problem);
}

std::shared_ptr<CFile> CFile::CreateStream(const std::shared_ptr<CFile>& file, std::u16string_view name) {
    file->CheckUsable();
    file->CheckDataChangeable();
    CheckNewStreamName(name);
    if (file->FindStream(name))
        throw CException(EErrorKind::Argument, ContractText::StreamExists, name, file->GetName());
    file->GetVolume().BeginWrite();
    AttributePtr stream = file->GetEntry().CreateAttribute(AttrType::Data, name, true);
    file->MarkChanged();
    auto object = std::make_shared<CFile>(file, stream);
    file->m_streams[std::u16string(name)] = object;
    return object;
}

std::vector<SStreamInfo> CFile::ListStreams() const {
    std::vector<SStreamInfo> streams;
    for (const auto& [key, attribute] : GetEntry().GetAttributes()) {
        if (key.type != AttrType::Data || key.occurrence != 0 || key.name.empty()) continue;
        streams.push_back({key.name, attribute->GetSize(), attribute->GetSizeOnDisk()});
    }
    return streams;
}

// The stream leaves the record at once; the object is then deleted for
// every handle that shares it, while the file stays.
void CFile::DeleteStream() {
    CheckUsable();
    CheckDataChangeable();
    GetVolume().BeginWrite();
    std::u16string name = m_data->GetName();
    m_entry->DeleteAttribute(AttrType::Data, name);
    m_data.reset();
    m_file->m_streams.erase(name);
    MarkChanged();
    try {
        SaveEntryAndNames();
    } catch (...) {
        Abandon();
        m_entry.reset();
        throw;
    }
    m_entry.reset();
}

}  // namespace volcore
