// Keeps the logic portable and its layers one-way: no source file outside the Win32 front
// end includes a Win32 header, and no folder includes a header of a folder above it. Each
// scanner is proven on a scratch tree before it judges the real one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kWin32Headers[] = {
    "windows.h", "windef.h",  "winbase.h", "winuser.h", "wingdi.h",  "winnt.h",  "winreg.h",
    "winerror.h", "winver.h", "shlobj.h",  "shellapi.h", "shlwapi.h", "commctrl.h", "commdlg.h",
    "objbase.h", "ole2.h",    "mmsystem.h", "winsock2.h", "ws2tcpip.h", "tchar.h",  "winres.h",
};

bool IsWin32Header(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return (char)tolower(c); });
    std::replace(name.begin(), name.end(), '\\', '/');
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    for (const char* header : kWin32Headers)
        if (name == header) return true;
    return false;
}

// Files allowed to see Win32: the platform's Win32 side, the Win32 files of the two front
// ends' tops (the window and the console capture program), the Wine tools, end-to-end helpers
// and the benchmark's Windows programs.
bool MayUseWin32(const std::string& relative)
{
    auto starts = [&](const char* prefix) { return relative.rfind(prefix, 0) == 0; };
    if (starts("platform/win32/") || starts("tools/") || starts("tests/e2e/") || starts("bench/"))
        return true;
    auto win32Entry = [&](const char* folder) {
        size_t length = strlen(folder);
        return starts(folder) && relative.find('/', length) == std::string::npos && relative.size() > 10 &&
               relative.compare(relative.size() - 10, 10, "_win32.cpp") == 0;
    };
    return win32Entry("app/") || win32Entry("capture/");
}

// The program's folders from the bottom up; a file may include headers of its own folder and
// of the folders below it. The window's user interface and the console capture program are
// two front ends on one level over the download: neither includes the other. Tests, tools
// and the benchmark sit outside the order.
struct Layer {
    const char* folder;
    int level;
};
const Layer kLayers[] = {{"platform", 0}, {"records", 1}, {"serial", 2}, {"download", 3},
                         {"ui", 4},       {"capture", 4}, {"app", 5}};

// The index into kLayers, -1 outside them.
int LayerOf(const std::string& relative)
{
    for (int i = 0; i < (int)(sizeof kLayers / sizeof kLayers[0]); i++) {
        std::string folder = std::string(kLayers[i].folder) + "/";
        if (relative.compare(0, folder.size(), folder) == 0) return i;
    }
    return -1;
}

bool IsForbiddenWin32(const std::string& file, const std::string& header)
{
    return !MayUseWin32(file) && IsWin32Header(header);
}

bool IsUpward(const std::string& file, const std::string& header)
{
    int layer = LayerOf(file);
    int included = LayerOf(header);
    if (layer < 0 || included < 0) return false;
    if (kLayers[included].level > kLayers[layer].level) return true;
    return kLayers[included].level == kLayers[layer].level && included != layer;
}

// The download rules and the serial link serve the console front end too, which has no
// window: only the front ends above them may use the window calls.
bool IsWindowBelowTheFrontEnds(const std::string& file, const std::string& header)
{
    int layer = LayerOf(file);
    return header == "platform/window.h" && (layer == LayerOf("serial/") || layer == LayerOf("download/"));
}

// "file: header" for every include of a C++ source under root that breaks the rule. Build
// trees and hidden folders are not sources.
std::vector<std::string> Breaches(const fs::path& root, bool (*breaks)(const std::string&, const std::string&))
{
    static const std::regex include(R"re(^\s*#\s*include\s*[<"]([^>"]+)[>"])re");
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string relative = fs::relative(it->path(), root).generic_string();
        if (it->is_directory()) {
            if (relative == "build" || relative[0] == '.') it.disable_recursion_pending();
            continue;
        }
        std::string ext = it->path().extension().string();
        if (ext != ".cpp" && ext != ".h") continue;
        std::ifstream in(it->path());
        std::string line;
        std::smatch match;
        while (std::getline(in, line))
            if (std::regex_search(line, match, include) && breaks(relative, match[1].str()))
                found.push_back(relative + ": " + match[1].str());
    }
    std::sort(found.begin(), found.end());
    return found;
}

void Put(const fs::path& file, const std::string& text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string Listed(const std::vector<std::string>& lines)
{
    std::string list;
    for (const std::string& line : lines) list += "\n  " + line;
    return list;
}

}  // namespace

TEST(Layering, ScannersFindWhatEachRuleForbids)
{
    char pattern[] = "/tmp/km740_layering_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::path root = pattern;
    const char* const files[][2] = {
        {"records/settings.cpp", "#include \"records/csv_line.h\"\n#include <stdio.h>\n"},
        {"app/bad.cpp", "// no <windows.h> here in a comment\n  #  include <Windows.h>\n"},
        {"ui/deep/bad.h", "#include \"shlobj.h\"\n"},
        {"serial/bad.cpp", "#include <commctrl.h>\n"},
        {"tests/unit/bad_test.cpp", "#include <windows.h>\n#include \"app/handlers.h\"\n"},
        {"app/sub/main_win32.cpp", "#include <windows.h>\n"},  // only app/ itself
        {"app/main_win32.cpp", "#include <windows.h>\n#include \"app/handlers.h\"\n"},
        {"platform/win32/system.cpp", "#include <windows.h>\n#include <shlobj.h>\n"},
        {"platform/sim/window.cpp", "#include \"platform/window.h\"\n#include \"records/ids.h\"\n"},
        {"serial/comm_port.cpp", "#include \"records/settings.h\"\n  # include \"download/download.h\"\n"},
        {"download/download.cpp", "#include \"serial/comm_port.h\"\n#include \"ui/layout.h\"\n"},
        {"ui/layout.cpp", "#include \"download/download.h\"\n#include \"app/handlers.h\"\n"},
        {"tools/uidriver/uidriver.cpp", "#include <windows.h>\n#include \"app/handlers.h\"\n"},
        {"tests/e2e/portcheck_win32.cpp", "#include <windows.h>\n"},
        {"bench/minimal_dialog.cpp", "#include <windows.h>\n"},
        {"build/windows/gen.cpp", "#include <windows.h>\n#include \"app/handlers.h\"\n"},
        {"res/km740tool.rc", "#include <windows.h>\n"},  // not C++ source
        {"capture/console_win32.cpp", "#include <windows.h>\n#include \"download/download.h\"\n"},
        {"capture/km740cap.cpp", "#include <io.h>\n#include <wingdi.h>\n#include \"ui/layout.h\"\n"},
        {"ui/selection.cpp", "#include \"capture/console.h\"\n"},
        {"download/output_file.cpp", "#include \"platform/window.h\"\n"},
        {"ui/download_window.cpp", "#include \"platform/window.h\"\n"},
    };
    for (const auto& file : files) Put(root / file[0], file[1]);

    std::vector<std::string> win32 = {
        "app/bad.cpp: Windows.h",
        "app/sub/main_win32.cpp: windows.h",
        "capture/km740cap.cpp: wingdi.h",
        "serial/bad.cpp: commctrl.h",
        "tests/unit/bad_test.cpp: windows.h",
        "ui/deep/bad.h: shlobj.h",
    };
    std::vector<std::string> upward = {
        "capture/km740cap.cpp: ui/layout.h",
        "download/download.cpp: ui/layout.h",
        "platform/sim/window.cpp: records/ids.h",
        "serial/comm_port.cpp: download/download.h",
        "ui/layout.cpp: app/handlers.h",
        "ui/selection.cpp: capture/console.h",
    };
    EXPECT_EQ(Breaches(root, IsForbiddenWin32), win32);
    EXPECT_EQ(Breaches(root, IsUpward), upward);
    EXPECT_EQ(Breaches(root, IsWindowBelowTheFrontEnds), std::vector<std::string>{"download/output_file.cpp: platform/window.h"});
    fs::remove_all(root);
}

TEST(Layering, LogicNeverIncludesAWin32Header)
{
    std::vector<std::string> found = Breaches(KM_SOURCE_DIR, IsForbiddenWin32);
    EXPECT_TRUE(found.empty()) << "Win32 headers outside the front end:" << Listed(found);
}

TEST(Layering, EachFolderIncludesOnlyItsOwnAndLowerLayers)
{
    std::vector<std::string> found = Breaches(KM_SOURCE_DIR, IsUpward);
    EXPECT_TRUE(found.empty()) << "includes against the order platform, records, serial, download, ui | capture, app:"
                               << Listed(found);
}

TEST(Layering, TheDownloadRulesAndTheSerialLinkKnowNoWindow)
{
    std::vector<std::string> found = Breaches(KM_SOURCE_DIR, IsWindowBelowTheFrontEnds);
    EXPECT_TRUE(found.empty()) << "window calls below the front ends:" << Listed(found);
}
