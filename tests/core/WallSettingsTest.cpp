#include "core/WallSettings.h"
#include "core/CameraSettings.h"
#include "core/IniFile.h"
#include "core/WallLayout.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace norvale;
using norvale::test::TempDir;

namespace {
IniFile iniWith(const TempDir& dir, const std::string& text) {
    norvale::test::writeFile(dir / "setup.ini", text);
    return IniFile(dir / "setup.ini");
}
} // namespace

TEST(WallSettings, DefaultsWithoutAFile) {
    TempDir dir;
    const IniFile ini(dir / "setup.ini");
    EXPECT_EQ(readWallSettings(ini), WallSettings{});
    const CameraSettings cam = readCameraSettings(ini, "Camera7");
    EXPECT_EQ(cam.name, "Camera7");
    EXPECT_EQ(cam.videoDeviceIndex, -1);
    EXPECT_EQ(cam.videoFormatIndex, -1);
    EXPECT_EQ(cam.bitRate, 1024);
    EXPECT_FALSE(cam.autoSnapshot);
    EXPECT_EQ(cam.snapshotSeconds, 60);
    EXPECT_EQ(cam.segmentSeconds, 3600);
    EXPECT_EQ(cam.saveFilePath, defaultFolder());
    EXPECT_EQ(cam.snapshotPath, defaultFolder());
    EXPECT_EQ(defaultFolder().back(), '/');
}

TEST(WallSettings, ValueRulesOnReading) {
    TempDir dir;
    struct Case {
        const char* value;
        int expectedIndex;
    } cases[] = {{"12", 1}, {"0", 1}, {"-3", 1}, {"0x5", 5}, {"$9", 9}, {"9", 9}, {"abc", 1}};
    for (const auto& c : cases) {
        const IniFile ini = iniWith(dir, std::string("[System]\nCurrentIndex=") + c.value + "\n");
        EXPECT_EQ(readWallSettings(ini).currentIndex, c.expectedIndex) << c.value;
    }
    // An unknown layout is used unchanged; only the slot is corrected.
    EXPECT_EQ(readWallSettings(iniWith(dir, "[system]\ncurrentcnt=5\n")).currentCnt, 5);
}

TEST(WallSettings, StorageAndResumeKeys) {
    TempDir dir;
    struct Case {
        const char* text;
        int keepFreeMB, keepDays;
        bool resume;
    } cases[] = {
        {"", 2048, 0, true}, // retention by free space is on unless switched off
        {"[System]\nKeepFreeMB=0\nKeepDays=30\nResumeCameras=0\n", 0, 30, false},
        {"[system]\nkeepfreemb=0x400\nkeepdays=soon\nresumecameras=yes\n", 1024, 0, true},
    };
    for (const auto& c : cases) {
        const WallSettings s = readWallSettings(iniWith(dir, c.text));
        EXPECT_EQ(s.keepFreeMB, c.keepFreeMB) << c.text;
        EXPECT_EQ(s.keepDays, c.keepDays) << c.text;
        EXPECT_EQ(s.resumeCameras, c.resume) << c.text;
    }
}

TEST(WallSettings, MotionKeysComeInTheirRanges) {
    TempDir dir;
    struct Case {
        const char* text;
        bool detect;
        int sensitivity, minArea;
        bool maskEmpty;
        RecordMode mode;
        int pre, post;
    } cases[] = {
        {"", false, 60, 5, true, RecordMode::Continuous, 5, 10},
        {"[Camera1]\nMotionDetect=1\nMotionSensitivity=0\nMotionMinArea=5000\nRecordMode=1\n"
         "PreSeconds=-3\nPostSeconds=0\nMotionMask=8000"
         "00000000000000000000000000000000000000000000\n",
         true, 1, 1000, false, RecordMode::OnMotion, 0, 1},
        {"[Camera1]\nMotionSensitivity=101\nMotionMinArea=-1\nRecordMode=7\nPreSeconds=600\n"
         "MotionMask=not hex\n",
         false, 100, 1, true, RecordMode::Continuous, 60, 10},
    };
    for (const auto& c : cases) {
        const IniFile ini = iniWith(dir, c.text);
        const CameraSettings stored = readCameraSettings(ini, "Camera1");
        const MotionRules r = motionRules(stored);
        EXPECT_EQ(r.detect, c.detect) << c.text;
        EXPECT_EQ(r.detector.sensitivity, c.sensitivity) << c.text;
        EXPECT_EQ(r.detector.minAreaTenths, c.minArea) << c.text;
        EXPECT_EQ(r.detector.mask.empty(), c.maskEmpty) << c.text;
        EXPECT_EQ(r.recordMode, c.mode) << c.text;
        EXPECT_EQ(r.preSeconds, c.pre) << c.text;
        EXPECT_EQ(r.postSeconds, c.post) << c.text;
    }
    // A mask the program cannot read is kept as the user wrote it.
    EXPECT_EQ(readCameraSettings(iniWith(dir, cases[2].text), "Camera1").motionMask, "not hex");
}

// A camera's own stream is recorded only where asked for and the camera has one to give.
TEST(WallSettings, RecordFormatFallsBackToWmvWithoutACompressedStream) {
    TempDir dir;
    struct Case {
        const char* text;
        const char* mediaType;
        RecordFormat format;
    } cases[] = {
        {"", "video/x-h264", RecordFormat::Wmv},
        {"[Camera1]\nRecordFormat=1\n", "video/x-h264", RecordFormat::OwnStream},
        {"[Camera1]\nRecordFormat=1\n", "video/x-h265", RecordFormat::OwnStream},
        {"[Camera1]\nRecordFormat=1\n", "image/jpeg", RecordFormat::OwnStream},
        {"[Camera1]\nRecordFormat=1\n", "video/x-raw", RecordFormat::Wmv},
        {"[Camera1]\nRecordFormat=1\n", "", RecordFormat::Wmv},
        {"[Camera1]\nRecordFormat=2\n", "image/jpeg", RecordFormat::Wmv},
        {"[Camera1]\nRecordFormat=junk\n", "image/jpeg", RecordFormat::Wmv},
    };
    for (const auto& c : cases) {
        const CameraSettings s = readCameraSettings(iniWith(dir, c.text), "Camera1");
        const RecordFormat format = recordFormatFor(s, c.mediaType);
        EXPECT_EQ(format, c.format) << c.text << c.mediaType;
        EXPECT_STREQ(recordingExtension(format),
                     c.format == RecordFormat::OwnStream ? ".mkv" : ".wmv");
    }
}

TEST(WallSettings, BooleansReadAsIntegersAndWriteAsDigits) {
    TempDir dir;
    IniFile ini = iniWith(dir, "[Camera1]\nAutoSnapshot=yes\n[Camera2]\nAutoSnapshot=7\n"
                               "[Camera3]\nAutoSnapshot=-1\n");
    EXPECT_FALSE(readCameraSettings(ini, "Camera1").autoSnapshot);
    const CameraSettings two = readCameraSettings(ini, "Camera2");
    EXPECT_TRUE(two.autoSnapshot);
    EXPECT_TRUE(readCameraSettings(ini, "Camera3").autoSnapshot);
    writeCameraSettings(ini, "Camera2", two);
    EXPECT_EQ(ini.readString("Camera2", "AutoSnapshot", ""), "1");
}

TEST(WallSettings, LongNamesAreCutOnReading) {
    TempDir dir;
    const std::string longName(3000, 'n');
    const IniFile ini = iniWith(dir, "[Camera4]\nName=" + longName + "\n");
    EXPECT_EQ(readCameraSettings(ini, "Camera4").name, std::string(2047, 'n'));
}

TEST(WallSettings, FreshFileHoldsSectionsAndKeysInWriteOrder) {
    TempDir dir;
    IniFile ini(dir / "setup.ini");
    for (int n = 1; n <= 36; ++n)
        writeCameraSettings(ini, cameraSectionName(n), defaultCameraSettings(cameraSectionName(n)));
    writeWallSettings(ini, WallSettings{});
    const std::string text = norvale::test::readFile(dir / "setup.ini");

    std::vector<std::string> sections;
    std::vector<std::string> systemKeys, groupKeys, cameraKeys;
    std::string current;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 2 && line.front() == '[') {
            current = line.substr(1, line.size() - 2);
            sections.push_back(current);
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            const std::string key = line.substr(0, eq);
            if (current == "System")
                systemKeys.push_back(key);
            else if (current == "ChangeGroup")
                groupKeys.push_back(key);
            else if (current == "Camera1")
                cameraKeys.push_back(key);
        }
    }
    ASSERT_EQ(sections.size(), 38u);
    for (int n = 1; n <= 36; ++n)
        EXPECT_EQ(sections[static_cast<std::size_t>(n - 1)], "Camera" + std::to_string(n));
    EXPECT_EQ(sections[36], "System");
    EXPECT_EQ(sections[37], "ChangeGroup");
    EXPECT_EQ(cameraKeys,
              (std::vector<std::string>{
                  "Name", "SaveFilePath", "VideoDeviceIndex", "VideoFormatIndex", "BitRate",
                  "AutoSnapshot", "SnapshotSeconds", "SnapshotPath", "SegmentSeconds",
                  "MotionDetect", "MotionSensitivity", "MotionMinArea", "MotionMask", "RecordMode",
                  "PreSeconds", "PostSeconds", "MotionSnapshot", "RecordFormat"}));
    EXPECT_EQ(systemKeys,
              (std::vector<std::string>{"AutoRun", "CheckForUpdates", "StartMinimized",
                                        "CurrentCnt", "CurrentIndex", "PanelVisible", "KeepFreeMB",
                                        "KeepDays", "ResumeCameras", "MotionCommand"}));
    EXPECT_EQ(groupKeys, (std::vector<std::string>{"ChangeGroup", "ChangeGroupSeconds", "Group1",
                                                   "Group2", "Group3", "Group4"}));
}

TEST(WallSettings, RoundTripKeepsWhatTheProgramDoesNotKnow) {
    TempDir dir;
    const std::string original = "; site notes\n[Extra]\nfoo=bar\n[System]\nCurrentCnt=9\n"
                                 "Custom=kept\n[Camera3]\nName=Gate\nColour=blue\n";
    IniFile ini = iniWith(dir, original);
    WallSettings s = readWallSettings(ini);
    EXPECT_EQ(s.currentCnt, 9);
    s.currentIndex = 4;
    writeWallSettings(ini, s);
    CameraSettings cam = readCameraSettings(ini, "Camera3");
    EXPECT_EQ(cam.name, "Gate");
    writeCameraSettings(ini, "Camera3", cam);

    const std::string text = norvale::test::readFile(dir / "setup.ini");
    EXPECT_EQ(
        text.rfind("; site notes\n[Extra]\nfoo=bar\n[System]\nCurrentCnt=9\nCustom=kept\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("Colour=blue"), std::string::npos);
    EXPECT_EQ(readWallSettings(ini).currentIndex, 4);
    EXPECT_EQ(readCameraSettings(ini, "Camera3"), cam);
}
