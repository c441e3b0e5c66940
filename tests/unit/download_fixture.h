// A fresh simulated machine with the main dialog, its lists filled, port 1 present and
// both destination folders in a temporary directory; helpers to run the download timer.
#pragma once
#include <gtest/gtest.h>
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include "download/download.h"
#include "download/output_file.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"
#include "tests/support/sim_session.h"

// The name the sim's default local time (14:05:09, 19 February 2010) gives.
static const char kBaseName[] = "KM-740_02192010_140509";

// The device's first and last lines.
static const std::string STX = "\x02\r\n";
static const std::string ETX = "\x03\r\n";

class DownloadFixture : public ::testing::Test {
public:
    PlatWindow window = nullptr;
    std::string root;
    std::string desktop;
    std::string documents;

    void SetUp() override
    {
        // Whatever an earlier test left open goes first, then the machine is new.
        SimSessionReset(9600);

        char pattern[] = "/tmp/km740_download_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        desktop = root + "/Desktop";
        documents = root + "/Documents";
        mkdir(desktop.c_str(), 0755);
        mkdir(documents.c_str(), 0755);
        SetFolders(desktop.c_str(), documents.c_str());
        window = SimSessionDialog();
    }

    void TearDown() override
    {
        OutputFileRelease();
        CommClose();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    static void SetFolders(const char* desktopPath, const char* documentsPath)
    {
        SimSessionSetFolders(desktopPath, documentsPath);
    }

    // Runs the next due timer tick; 0 when no tick is pending.
    int Tick()
    {
        PlatWindow target = nullptr;
        unsigned id = 0;
        if (!SimNextTimer(&target, &id)) return 0;
        DownloadOnTimer(target, id);
        return 1;
    }

    // Runs ticks until the download stands still; the number of ticks run.
    int RunToIdle(int limit = 100000)
    {
        int ticks = 0;
        while (ticks < limit && Tick()) ticks++;
        return ticks;
    }

    // Start pressed and the begin step run: the download polls.
    void StartAndBegin()
    {
        DownloadToggle(window);
        ASSERT_TRUE(Tick());
        ASSERT_EQ(gDownload.phase, PHASE_RECEIVE);
    }

    static void Feed(const std::string& bytes) { SimPortFeedText(1, bytes); }

    // The file a download started at the sim's default time makes on the Desktop.
    std::string FilePath() { return desktop + "/" + kBaseName + ".csv"; }

    static std::vector<std::string> FilesIn(const std::string& folder)
    {
        std::vector<std::string> names;
        DIR* dir = opendir(folder.c_str());
        if (!dir) return names;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    static void Touch(const std::string& path, const std::string& content = "")
    {
        std::ofstream out(path, std::ios::binary);
        out << content;
    }

    // -1 for a control the test removed.
    int ControlEnabled(int id)
    {
        const SimWindowInfo* info = SimWindow(PlatGetDlgItem(window, id));
        return info ? info->enabled : -1;
    }
    std::string StartCaption() { return SimWindow(PlatGetDlgItem(window, IDC_START))->text; }

    // Lists enabled and "Start" on the button: nothing runs.
    void ExpectIdleWindow()
    {
        EXPECT_EQ(ControlEnabled(IDC_PORT), 1);
        EXPECT_EQ(ControlEnabled(IDC_BAUD), 1);
        EXPECT_NE(ControlEnabled(IDC_STORE), 0);
        EXPECT_EQ(StartCaption(), "Start");
        EXPECT_EQ(gDownload.phase, PHASE_IDLE);
        EXPECT_TRUE(SimTimers().empty());
    }
};

