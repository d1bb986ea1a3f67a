#pragma once
// Error texts that callers match word for word. Some of them read like slips —
// "is already exist", a compiler's rendering of a member function's signature,
// the name of a class this engine does not have — but they are what callers
// have always been given, and programs test for them. Keep them exactly as they
// are; new messages are worded plainly, in the style of the others.

namespace volcore::ContractText {

// A create, rename or link whose name is already taken in the directory.
inline constexpr const char* EntryExists = "Entry %1 is already exist";
// A named stream that is already there (same wording, so that callers and the
// mount map both to "exists").
inline constexpr const char* StreamExists = "Stream %1 of %2 is already exist";
// A read or write of a file's data past its end: the text names the call's
// signature as it was first reported.
inline constexpr const char* FileReadRange = "void __cdecl volcore::CFile::Read(unsigned __int64,void *,unsigned int) const";
inline constexpr const char* FileWriteRange = "void __cdecl volcore::CFile::Write(unsigned __int64,const void *,unsigned int)";
// A transfer outside an attribute's data; %1 is the operation (ReadData, WriteData).
inline constexpr const char* AttributeRange = "NtfsAttr::%1: invalid arguments (offset: %2, buffer size: %3, data size: %4)";

}  // namespace volcore::ContractText
