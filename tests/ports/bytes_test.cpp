// What the Windows side reads from bytes, here without Wine: names as
// messages show them, the system's UTF-16, and a DLL's headers.
#include "pe_image.h"
#include "say.h"
#include "utf16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A name as messages and lptmon show it: cut on a letter's boundary, bytes
// of no letter (cut, written long, a surrogate, C1) escaped.
TEST(Shown, CutOnALetterAndBytesOfNoLetterEscaped)
{
    char shown[24];
    EXPECT_STREQ(ports::as_shown("ab長長長", 11, shown, 9), "ab長長");
    EXPECT_STREQ(ports::as_shown("長\xC0\xAF", 5, shown, 24), "長\\xc0\\xaf");
    EXPECT_STREQ(ports::as_shown("\xED\xA0\x80\xC2\x85", 5, shown, 24),
                 "\\xed\\xa0\\x80\\xc2\\x85");
}

// The system's UTF-16 and back: letters of each length, a pair past U+FFFF;
// bytes of no letter refused (a guessed path names another file), a lone
// surrogate shown as U+FFFD.
TEST(Utf16, LettersBothWaysAndWhatIsNoUtf8Refused)
{
    const std::string text = "aé長😀";
    std::u16string wide(text.size(), u'\0');
    wide.resize(utf8_to_utf16(text.data(), text.size(), &wide[0]));
    EXPECT_EQ(wide, u"aé長😀");
    const std::u16string lone = {u'a', 0xDE00, 0xD800};
    for (const auto &c :
         {std::make_pair(wide, text), std::make_pair(lone, std::string("a\uFFFD\uFFFD"))}) {
        const auto unit = [&](size_t i) { return static_cast<uint32_t>(c.first[i]); };
        std::string back(utf16_to_utf8(unit, c.first.size(), nullptr), '\0');
        utf16_to_utf8(unit, c.first.size(), &back[0]);
        EXPECT_EQ(back, c.second);
    }
    // Long, cut, a surrogate, past U+10FFFF, a lone continuation.
    for (const char *bad : {"\xC0\xAF", "\xE0\x80\xAF", "x\xE9\x95", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80"}) {
        EXPECT_EQ(utf8_to_utf16(bad, strlen(bad), static_cast<char16_t *>(nullptr)),
                  static_cast<size_t>(-1))
            << bad;
    }
}

// A DLL's headers as a linker writes them: MZ, the offset of PE at 0x3C,
// the machine, the section count, the optional header's size, the flags,
// then the section table.
std::string image(uint16_t machine, uint16_t flags, const char *section = ".text")
{
    std::string bytes(0x40, '\0');
    bytes[0] = 'M', bytes[1] = 'Z', bytes[0x3C] = 0x40;
    auto put16 = [&](uint16_t value) { bytes += {char(value & 0xFF), char(value >> 8)}; };
    bytes += std::string("PE\0\0", 4);
    put16(machine);
    put16(1);
    bytes += std::string(12, '\0');
    put16(0xE0);
    put16(flags);
    bytes += std::string(0xE0, '\0');
    std::string name(section);
    bytes += name + std::string(40 - name.size(), '\0');
    return bytes;
}

TEST(PeImage, KindBitsAndOwnSectionFromHandMadeHeaders)
{
    const std::string dll = image(0x14C, 0x2102);
    const struct {
        const char *name;
        std::string bytes;
        pe::Kind kind;
        int bits;
        bool ours;
    } cases[] = {
        {"32-bit DLL", dll, pe::dll, 32, false},
        {"32-bit program", image(0x14C, 0x0102), pe::program, 32, false},
        {"64-bit DLL", image(0x8664, 0x2022), pe::dll, 64, false},
        {"ARM64 DLL", image(0xAA64, 0x2022), pe::dll, 0, false},
        {"this library", image(0x14C, 0x2102, LPT_OWN_SECTION), pe::dll, 32, true},
        {"text", "LPT_HARDWARE_DLL=C:\\x.dll\r\n", pe::not_an_image, 0, false},
        {"cut in the file header", dll.substr(0, 0x40 + 23), pe::not_an_image, 0, false},
        {"PE beyond the end", dll.substr(0, 0x3C) + "\xF0\xFF\xFF\xFF", pe::not_an_image, 0, false},
        // The section table cut: the headers read, no section seen.
        {"cut in the sections", image(0x14C, 0x2102, LPT_OWN_SECTION).substr(0, dll.size() - 8),
         pe::dll, 32, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const pe::Image got =
            pe::inspect(reinterpret_cast<const unsigned char *>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(got.kind, c.kind);
        EXPECT_EQ(got.bits, c.bits);
        EXPECT_EQ(got.ours, c.ours);
    }
}

} // namespace
