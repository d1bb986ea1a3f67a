#include "format/FormatBootCode.h"

#include "disk/BootSector.h"

namespace volcore::format {
namespace {

// Sector 0 of the boot image. The parameter block (bytes 11..83) is filled in
// per volume; the code at 0x54 does not read it. Nothing is loaded: the code
// tries one BIOS read to tell a failing disk from a disk without a loader, says
// which it is, and halts. Loaded at 0000:7C00; real mode, 16-bit.
//
//   0x00  EB 52      jmp short 0x54
//   0x02  90         nop
//   0x03  "NTFS    " OEM id
//   0x54  FA         cli
//   0x55  31 C0      xor  ax, ax
//   0x57  8E D0      mov  ss, ax
//   0x59  BC 00 7C   mov  sp, 0x7C00
//   0x5C  8E D8      mov  ds, ax
//   0x5E  8E C0      mov  es, ax
//   0x60  FB         sti
//   0x61  FC         cld
//   0x62  B8 01 02   mov  ax, 0x0201        ; read one sector
//   0x65  B9 02 00   mov  cx, 0x0002        ; cylinder 0, sector 2
//   0x68  B6 00      mov  dh, 0             ; head 0, dl = drive from the BIOS
//   0x6A  BB 00 7E   mov  bx, 0x7E00        ; es:bx = just past this sector
//   0x6D  CD 13      int  0x13
//   0x6F  BE 88 7C   mov  si, read_error
//   0x72  72 03      jc   print
//   0x74  BE A5 7C   mov  si, missing
//   0x77  AC         print: lodsb
//   0x78  84 C0      test al, al
//   0x7A  74 09      jz   halt
//   0x7C  B4 0E      mov  ah, 0x0E          ; teletype output
//   0x7E  BB 07 00   mov  bx, 0x0007        ; page 0, grey
//   0x81  CD 10      int  0x10
//   0x83  EB F2      jmp  print
//   0x85  F4         halt: hlt
//   0x86  EB FD      jmp  halt
//   0x88  read_error: "A disk read error occurred", 13, 10, 0
//   0xA5  missing:    "BOOTMGR is missing", 13, 10, 0
//   0x1FE 55 AA      end marker
constexpr uint8_t kCode[] = {
    0xFA, 0x31, 0xC0, 0x8E, 0xD0, 0xBC, 0x00, 0x7C, 0x8E, 0xD8, 0x8E, 0xC0, 0xFB, 0xFC, 0xB8, 0x01,
    0x02, 0xB9, 0x02, 0x00, 0xB6, 0x00, 0xBB, 0x00, 0x7E, 0xCD, 0x13, 0xBE, 0x88, 0x7C, 0x72, 0x03,
    0xBE, 0xA5, 0x7C, 0xAC, 0x84, 0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10, 0xEB,
    0xF2, 0xF4, 0xEB, 0xFD,
};
constexpr char kReadError[] = "A disk read error occurred\r\n";
constexpr char kMissing[] = "BOOTMGR is missing\r\n";
constexpr size_t kReadErrorOffset = 0x88;
constexpr size_t kMissingOffset = 0xA5;

template <size_t N>
constexpr void Place(std::array<uint8_t, kBootImageSize>& image, size_t offset, const uint8_t (&bytes)[N]) {
    for (size_t i = 0; i < N; ++i) image[offset + i] = bytes[i];
}

// Strings go in with their terminating zero.
template <size_t N>
constexpr void PlaceText(std::array<uint8_t, kBootImageSize>& image, size_t offset, const char (&text)[N]) {
    for (size_t i = 0; i < N; ++i) image[offset + i] = static_cast<uint8_t>(text[i]);
}

constexpr std::array<uint8_t, kBootImageSize> MakeBootImage() {
    std::array<uint8_t, kBootImageSize> image{};
    Place(image, BootField::Jump, {0xEB, 0x52, 0x90});
    Place(image, BootField::OemId, {0x4E, 0x54, 0x46, 0x53, 0x20, 0x20, 0x20, 0x20});  // "NTFS    "
    Place(image, BootField::BootCode, kCode);
    PlaceText(image, kReadErrorOffset, kReadError);
    PlaceText(image, kMissingOffset, kMissing);
    Place(image, BootField::EndMarker, {0x55, 0xAA});
    return image;
}

static_assert(BootField::BootCode + sizeof(kCode) == kReadErrorOffset);
static_assert(kReadErrorOffset + sizeof(kReadError) == kMissingOffset);
static_assert(kMissingOffset + sizeof(kMissing) <= BootField::EndMarker);
static_assert(BootField::Jump + 2 + 0x52 == BootField::BootCode, "the short jump lands on the code");

constexpr std::array<uint8_t, kBootImageSize> kBootImage = MakeBootImage();

}  // namespace

const std::array<uint8_t, kBootImageSize>& BootImage() { return kBootImage; }

}  // namespace volcore::format
