// The built exe as a file: what kind of program it is, what it imports, and its resources byte
// for byte (strings, icons, manifest, the panel template).
#include "app.h"
#include "panel.h"
#include "unix.h"

#include <gtest/gtest.h>

#include <set>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

const WORD kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

std::string ExePath()
{
    const char *exe = getenv("RQ47_EXE");
    return exe ? UnixPath(exe) : "";
}

// The exe mapped as an image, without running it.
HMODULE Image()
{
    static HMODULE image = LoadLibraryExA(ExePath().c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    return image;
}

// A resource's bytes in the Chinese (Simplified) language; empty when it is not there.
std::vector<BYTE> Resource(LPCSTR type, LPCSTR name)
{
    HRSRC r = FindResourceExA(Image(), type, name, kChinese);
    if (r == NULL)
        return {};
    const BYTE *p = static_cast<const BYTE *>(LockResource(LoadResource(Image(), r)));
    return std::vector<BYTE>(p, p + SizeofResource(Image(), r));
}

// Resource texts are UTF-16; compared as UTF-8 with u8 literals, which every compiler spells
// the same whatever its execution character set (clang has only UTF-8).
std::string Utf8(const wchar_t *w, size_t n)
{
    int len = WideCharToMultiByte(CP_UTF8, 0, w, int(n), NULL, 0, NULL, NULL);
    std::string s(len, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, int(n), &s[0], len, NULL, NULL);
    return s;
}

// The program hands its texts to the ANSI functions as GBK.
TEST(Environment, AnsiCodePageIs936)
{
    EXPECT_EQ(GetACP(), 936u) << "LANG=zh_CN.UTF-8 with the locale generated, and a fresh wineserver";
}

// 32-bit, as the release is (tests/release_tests.sh), except in the x86-64 test build of a host
// that runs no 32-bit code: the same machine as this test in any case.
TEST(Exe, IsAGuiProgramImportingOnlySystemDlls)
{
    ASSERT_NE(Image(), nullptr) << ExePath();
    const BYTE *base = reinterpret_cast<const BYTE *>(reinterpret_cast<ULONG_PTR>(Image()) & ~ULONG_PTR(3));
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, sizeof(void *) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR_MAGIC);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR *imp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
    const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL", "COMCTL32.DLL", "MSVCRT.DLL",
                                          "GDI32.DLL", "ADVAPI32.DLL"};
    int count = 0;
    for (; imp->Name != 0; imp++, count++) {
        std::string name = reinterpret_cast<const char *>(base + imp->Name);
        for (char &c : name)
            c = char(toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(system.count(name)) << "imports " << name;
    }
    EXPECT_GE(count, 3);
}

TEST(Resources, StringsIconsAndManifest)
{
    ASSERT_NE(Image(), nullptr);
    // Strings 96 to 111 make up block 7.
    EXPECT_FALSE(Resource(MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(103 / 16 + 1)).empty());
    wchar_t text[100];
    int n = LoadStringW(Image(), IDS_APP_TITLE, text, 100);
    EXPECT_EQ(Utf8(text, n), u8"RQ47配置工具V1.0");
    n = LoadStringW(Image(), IDS_WINDOW_CLASS, text, 100);
    EXPECT_EQ(Utf8(text, n), "Pellwick");

    struct { int id, size; } icons[] = {{IDI_APP, 48}, {IDI_SMALL, 16}};
    for (auto icon : icons) {
        std::vector<BYTE> group = Resource(MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(icon.id));
        ASSERT_GE(group.size(), 6u + 14u) << "icon group " << icon.id;
        EXPECT_EQ(group[4] | group[5] << 8, 1) << "one image in icon " << icon.id;
        EXPECT_EQ(group[6], icon.size);
        EXPECT_EQ(group[7], icon.size);
        EXPECT_EQ(group[6 + 6] | group[6 + 7] << 8, 32) << "bits per pixel of icon " << icon.id;
    }

    std::vector<BYTE> m = Resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1));
    std::string manifest(m.begin(), m.end());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_EQ(manifest.find("dependency"), std::string::npos);
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos);
    HRSRC other = FindResourceA(Image(), MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(24));
    EXPECT_EQ(other, nullptr) << "a second manifest";
}

// Reads the extended dialog template field by field.
struct Reader {
    const BYTE *p;
    WORD Word() { WORD v = WORD(p[0] | p[1] << 8); p += 2; return v; }
    DWORD Dword() { DWORD v = Word(); return v | DWORD(Word()) << 16; }
    short Short() { return short(Word()); }
    BYTE Byte() { return *p++; }
    void Align() { p += (4 - (reinterpret_cast<ULONG_PTR>(p) & 3)) & 3; }
    // A string, or "#n" for an ordinal.
    std::string SzOrOrd()
    {
        if (p[0] == 0xFF && p[1] == 0xFF) {
            p += 2;
            return "#" + std::to_string(Word());
        }
        const wchar_t *w = reinterpret_cast<const wchar_t *>(p);
        size_t n = wcslen(w);
        p += 2 * (n + 1);
        return Utf8(w, n);
    }
};

TEST(Resources, PanelTemplateIsExact)
{
    ASSERT_NE(Image(), nullptr);
    std::vector<BYTE> t = Resource(RT_DIALOG, MAKEINTRESOURCEA(IDD_PANEL));
    ASSERT_FALSE(t.empty()) << "no Chinese (Simplified) template 101";
    Reader r = {t.data()};
    EXPECT_EQ(r.Word(), 1);
    EXPECT_EQ(r.Word(), 0xFFFF) << "not an extended template";
    r.Dword();                                            // help id
    EXPECT_EQ(r.Dword(), 0u);                             // extended style
    EXPECT_EQ(r.Dword(), DWORD(WS_CHILD | WS_VISIBLE | DS_SETFONT));
    WORD items = r.Word();
    EXPECT_EQ(items, 12);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 198);
    EXPECT_EQ(r.Short(), 116);
    EXPECT_EQ(r.SzOrOrd(), "") << "menu";
    EXPECT_EQ(r.SzOrOrd(), "") << "class";
    EXPECT_EQ(r.SzOrOrd(), "") << "caption";
    EXPECT_EQ(r.Word(), 10);                              // points
    EXPECT_EQ(r.Word(), 400);                             // weight
    EXPECT_EQ(r.Byte(), 0);                               // italic
    EXPECT_EQ(r.Byte(), 0);                               // character set
    EXPECT_EQ(r.SzOrOrd(), u8"微软雅黑");

    struct Item {
        int id;
        const char *cls;   // ordinal of the system class
        const char *name;  // and its name
        const char *text;
        DWORD style;
        short x, y, w, h;
    };
    const DWORD label = SS_LEFT | WS_GROUP, push = BS_PUSHBUTTON | WS_TABSTOP;
    const Item expected[] = {
        {-1, "#130", "STATIC", u8"串口号：", label, 19, 23, 27, 8},
        {IDC_PORT_LIST, "#133", "COMBOBOX", "", CBS_DROPDOWN | CBS_SORT | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP, 52, 21, 48, 67},
        {IDC_OPEN_BUTTON, "#128", "BUTTON", u8"打开串口", push, 124, 20, 50, 14},
        {-1, "#128", "BUTTON", u8"选择串口", BS_GROUPBOX, 7, 7, 184, 47},
        {-1, "#128", "BUTTON", u8"配置", BS_GROUPBOX, 7, 57, 184, 34},
        {IDC_APPLY_BUTTON, "#128", "BUTTON", u8"应用", push, 125, 68, 50, 14},
        {IDC_STATUS_TEXT, "#130", "STATIC", "", label, 18, 96, 120, 8},
        {-1, "#130", "STATIC", u8"信道：", label, 20, 70, 21, 8},
        {-1, "#130", "STATIC", u8"版本：", label, 20, 42, 21, 8},
        {IDC_VERSION_TEXT, "#130", "STATIC", "", label, 51, 42, 96, 8},
        {IDC_CHANNEL_LIST, "#133", "COMBOBOX", "", CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, 52, 69, 48, 102},
        {IDC_HINT_TEXT, "#130", "STATIC", "", label | SS_NOPREFIX | SS_ENDELLIPSIS, 18, 106, 172, 8},   // as written, one line
    };
    for (int i = 0; i < items && i < int(std::size(expected)); i++) {
        const Item &e = expected[i];
        SCOPED_TRACE("item " + std::to_string(i));
        r.Align();
        r.Dword();                                        // help id
        EXPECT_EQ(r.Dword(), 0u);                         // extended style
        EXPECT_EQ(r.Dword(), WS_CHILD | WS_VISIBLE | e.style);
        EXPECT_EQ(r.Short(), e.x);
        EXPECT_EQ(r.Short(), e.y);
        EXPECT_EQ(r.Short(), e.w);
        EXPECT_EQ(r.Short(), e.h);
        EXPECT_EQ(int(r.Dword()), e.id);
        // The system classes may be named or given by their ordinal.
        std::string cls = r.SzOrOrd();
        EXPECT_TRUE(cls == e.cls || cls == e.name) << cls;
        EXPECT_EQ(r.SzOrOrd(), e.text);
        r.p += r.Word();                                  // creation data
    }
}

} // namespace
