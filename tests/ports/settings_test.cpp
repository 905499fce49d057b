// The portable parts of handing the calls to the hardware's own port I/O
// library, here without Wine: the settings file as Windows' tools write it
// and as people get it wrong, the environment beside it, and the rules for
// a port's address.
#include "ports.h"
#include "say.h"
#include "settings.h"
#include "settings_file.h"
#include "settings_parse.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace support;

namespace {
// The settings file the library reads here, "" for none.
std::string settings_path;
} // namespace

// Where the library finds its settings file: this test's instead of none.
bool ports::settings_file(char *path, size_t size)
{
    return !settings_path.empty() && snprintf(path, size, "%s", settings_path.c_str()) > 0;
}

namespace {

std::string told(const std::string &text)
{
    return "\ninpout32: " + text + "\n";
}

class Settings : public ::testing::Test {
  protected:
    void SetUp() override { settings_path = file; }
    void TearDown() override
    {
        settings_path.clear();
        for (const char *name : {"LPT_PORT_0x3BC", "LPT_PORT_0x278", "LPT_HARDWARE_DLL",
                                 "LPT_BACKEND", "LPT_VIRTUAL_DIR"}) {
            unsetenv(name);
        }
    }
    // The file holds `bytes`, read anew at the next ask; its problems are
    // told at the first reading of its path only.
    void write(const std::string &bytes) { std::ofstream(file, std::ios::binary) << bytes; }
    // What the library takes, "-" for unset, the real address for 0x3BC (or
    // the line refusing it), and what it says on the way.
    struct Taken {
        std::string dll, port, port_origin, address, said;
    };
    Taken take()
    {
        testing::internal::CaptureStderr();
        Taken taken{};
        char value[600], why[1024];
        ports::Origin origin{};
        unsigned address = 0;
        taken.dll = ports::setting("LPT_HARDWARE_DLL", value, sizeof value) ? value : "-";
        const auto found =
            ports::port_setting(0x3BC, "0x378", value, sizeof value, &origin, why, sizeof why);
        taken.port = found == ports::port_set ? value : found == ports::port_unset ? "-" : why;
        taken.port_origin = origin.text;
        if (found == ports::port_set &&
            ports::port_address(0x3BC, value, origin, &address, why, sizeof why)) {
            snprintf(why, sizeof why, "0x%X", address);
        }
        taken.address = found == ports::port_set ? why : taken.port;
        taken.said = testing::internal::GetCapturedStderr();
        return taken;
    }
    TempDir dir;
    std::string file = dir / "lpt-settings.txt";
};

std::string utf16(const std::u16string &text, bool big_endian)
{
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

// Notepad's UTF-8 with its BOM, PowerShell 5.1's UTF-16, CRLF, spaces, case,
// quotes and comments: the same settings, nothing told.
TEST_F(Settings, FileReadAsWindowsToolsWriteIt)
{
    const std::u16string lab =
        u"LPT_PORT_0x3BC=0x378\r\nLPT_HARDWARE_DLL=C:\\hw\\čš\U0001F600.dll\r\n";
    const struct {
        const char *name;
        std::string bytes;
        const char *dll = "C:\\hw\\čš😀.dll", *port = "0x378",
                   *origin = " (lpt-settings.txt line 1)";
    } cases[] = {
        {"UTF-8 with BOM",
         "\xEF\xBB\xBFLPT_PORT_0x3BC=0x378\r\nLPT_HARDWARE_DLL=C:\\hw\\čš😀.dll\r\n"},
        {"UTF-16 LE", utf16(lab, false)},
        {"UTF-16 BE", utf16(lab, true)},
        {"by hand",
         "# lab\n\n  lpt_port_0x3bc =  0x278  \n\tLPT_Hardware_Dll = \"C:\\a b\\x.dll\"\t",
         "\"C:\\a b\\x.dll\"", "0x278", " (lpt-settings.txt line 3)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write(c.bytes);
        const Taken taken = take();
        EXPECT_EQ(taken.said, "");
        EXPECT_EQ(taken.dll, c.dll);
        EXPECT_EQ(taken.port, c.port);
        EXPECT_EQ(taken.port_origin, c.origin);
    }
}

// Typos, lines that are no NAME=value, control characters and settings set
// twice: each told with its line and the fix, once; the last line wins.
TEST_F(Settings, LinesThatCannotBeUsedToldOnceWithTheirNumbers)
{
    write("# the shipped example\n#LPT_PORT_0x3BC=0x378\nLPT_PORT_0x3BC=0x278\n"
          "LPT_PROT_0x3BC=0x378\nLPT_HARDWAER_DLL=C:\\x.dll\n=0x378\nLPT_PORT_0x3BC 0x378\n"
          "LPT_\x1b[2J=1\nlpt_port_0x03bc=0x378\nLPT_HARDWARE_DLL=C:\\x.dll\nLPT_HARDWARE_DLL=\n"
          "LPT_BACKEND=virtual\r\n");
    const std::string unknown = " is no setting of this library: name LPT_HARDWARE_DLL, "
                                "LPT_BACKEND or LPT_PORT_0x3BC (the port's address), or put a # "
                                "in front of the line";
    const std::string no_pair =
        " is no NAME=value: write it as LPT_PORT_0x3BC=0x378, or put a # in front of it";
    const std::string last =
        " is used, as the last one wins; put a # in front of the lines you do not want";
    Taken taken = take();
    EXPECT_EQ(taken.said, told(file + " line 4: LPT_PROT_0x3BC" + unknown) +
                              told(file + " line 5: LPT_HARDWAER_DLL" + unknown) +
                              told(file + " line 6 (=0x378)" + no_pair) +
                              told(file + " line 7 (LPT_PORT_0x3BC 0x378)" + no_pair) +
                              told(file + " line 8: LPT_\\x1b[2J" + unknown) +
                              told(file + " lines 3 and 9 set LPT_PORT_0x3BC: line 9" + last) +
                              told(file + " lines 10 and 11 set LPT_HARDWARE_DLL: line 11" + last));
    EXPECT_EQ(taken.dll, "-"); // the last line empties it
    EXPECT_EQ(taken.port, "0x378");
    EXPECT_EQ(taken.port_origin, " (lpt-settings.txt line 9)");
    EXPECT_EQ(take().said, ""); // a blinker asks at each port it opens

    // LPT_BACKEND stands in the file too; a value it cannot use says where.
    write("LPT_BACKEND=virtul\n");
    setenv("LPT_VIRTUAL_DIR", (dir / "virtual").c_str(), 1);
    testing::internal::CaptureStderr();
    ports::write_port(0x3BC, 1);
    ports::unload();
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  told("LPT_BACKEND=virtul (lpt-settings.txt line 1) is not known (use ppdev or "
                       "virtual); choosing by itself"),
                  0),
              0u);
}

// A file that cannot be used whole is told in one line and not used at all:
// a value cut at a NUL or at the end of what is read could name another port.
// The parser from the bytes; a file that cannot be read through the lookup,
// each at a path of its own, as its problems are told once.
TEST_F(Settings, FileNotUsableWholeToldInOneLineAndNotUsed)
{
    const std::string unreadable = "): make it a file this user may read, and close any program "
                                   "that holds it; none of its settings is used";
    const struct {
        const char *name;
        std::string bytes; // the file's, "/" for a folder in its place, "-" for no read right
        std::string said;  // after the file's path
    } cases[] = {
        {"NUL", std::string("LPT_HARDWARE_DLL=C:\\x.dll\nLPT_PORT_0x3BC=0x3") + '\0' + "78\n",
         " line 2 has a NUL byte, which no text has: save it as text (Notepad: Save as, Encoding "
         "UTF-8); none of its settings is used"},
        // Cut at 65536 bytes, the rest would read LPT_PORT_0x3BC=0x3.
        {"long",
         std::string(65517, '#') + "\nLPT_HARDWARE_DLL=C:\\x.dll\n"
                                   "LPT_PORT_0x3BC=0x378\n",
         " is longer than a settings file needs (over 65536 bytes or 1000 settings): keep only "
         "the settings this PC needs; none of its settings is used"},
        {"folder", "/", " cannot be read (Is a directory" + unreadable},
        {"no read right", "-", " cannot be read (Permission denied" + unreadable},
        {"absent", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.bytes == "-" && geteuid() == 0) {
            continue; // root reads any file
        }
        if (c.bytes.size() > 1) {
            auto parsed = std::make_unique<ports::ParsedSettings>();
            std::string said;
            ports::parse_settings(
                reinterpret_cast<const unsigned char *>(c.bytes.data()), c.bytes.size(), "x.txt",
                parsed.get(),
                [](const char *line, void *to) { *static_cast<std::string *>(to) += told(line); },
                &said);
            EXPECT_EQ(said, told("x.txt" + c.said));
            EXPECT_EQ(parsed->count, 0u);
            continue;
        }
        mkdir((dir / c.name).c_str(), 0700);
        settings_path = file = dir / c.name + "/lpt-settings.txt";
        if (c.bytes == "/") {
            mkdir(file.c_str(), 0700);
        } else if (!c.bytes.empty()) {
            std::ofstream(file, std::ios::binary) << c.bytes;
            chmod(file.c_str(), 0);
        }
        const Taken taken = take();
        EXPECT_EQ(taken.said, c.said.empty() ? "" : told(file + c.said));
        EXPECT_EQ(taken.dll + " " + taken.port, "- -");
    }
}

// The environment wins, trimmed as the file's lines are (cmd's
// "set X=0x378 && ..." keeps the space), and the rules for an address:
// names and values a multiple of 4 from 0x100, each refusal saying where the
// value came from and what to write, its control characters shown escaped.
TEST_F(Settings, AddressRulesForTheEnvironmentAndTheFile)
{
    write("LPT_PORT_0x3BC=0x278\nLPT_HARDWARE_DLL=C:\\file.dll\n");
    setenv("LPT_HARDWARE_DLL", " C:\\env.dll \t", 1);
    EXPECT_EQ(take().dll, "C:\\env.dll");
    EXPECT_EQ(take().address, "0x278");
    const auto refused = [](const std::string &value_where, const char *write) {
        return "LPT_PORT_0x3BC=" + value_where +
               " names no port address: write LPT_PORT_0x3BC=" + write +
               ", with the start of the port's I/O range (Device Manager, Ports (COM & LPT), the "
               "port, Resources)";
    };
    const auto no_setting = [](const std::string &name_where, const char *rule) {
        return name_where + " is not a port setting: name the port by its base address in hex" +
               rule + ", as in LPT_PORT_0x3BC=0x378";
    };
    const std::string env = " (in the environment)", rule = ", a multiple of 4 from 0x100";
    const struct {
        const char *name, *value;
        std::string taken;
    } cases[] = {
        {"LPT_PORT_0x3BC", "0x378 ", "0x378"},
        {"LPT_PORT_0x3bc", "0xd010", "0xD010"},
        {"LPT_PORT_0x3BC", "0x100", "0x100"},
        {"LPT_PORT_0x3BC", "0x378\n\x1b[2J", refused("0x378\\n\\x1b[2J" + env, "0x378")},
        {"LPT_PORT_0x60", "0x378", no_setting("LPT_PORT_0x60" + env, rule.c_str())},
        {"LPT_PORT_3BC\x1b", "0x378", no_setting("LPT_PORT_3BC\\x1b" + env, "")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        setenv(c.name, c.value, 1);
        EXPECT_EQ(take().address, c.taken);
        unsetenv(c.name);
    }
    // Below 0x100, not a multiple of 4, without 0x, past 0xFFFF.
    for (const char *value : {"0x3", "0x60", "0x37A", "378", "0x10000"}) {
        setenv("LPT_PORT_0x3BC", value, 1);
        EXPECT_EQ(take().address, refused(value + env, "0x378"));
    }
    unsetenv("LPT_PORT_0x3BC");
    // From the file, with its line.
    write("LPT_PORT_0x3BC=0x3BD\n");
    EXPECT_EQ(take().address, refused("0x3BD (lpt-settings.txt line 1)", "0x3BC"));
    write("LPT_PORT_0x3BD=0x378\n");
    EXPECT_EQ(take().address, no_setting("LPT_PORT_0x3BD (lpt-settings.txt line 1)", rule.c_str()));
}

} // namespace
