// The record of what each camera was doing: written, read back, and read from damaged files.
#include "core/CameraStates.h"

#include <gtest/gtest.h>

using namespace norvale;
using R = ResumeState;

TEST(CameraStates, StoppedCamerasAreLeftOutAndTheRestReadBack) {
    const std::map<int, R> states{{1, R::Recording}, {2, R::Stopped}, {36, R::Previewing}};
    const std::string text = formatCameraStates(states);
    EXPECT_EQ(text, "Camera1=Recording\nCamera36=Previewing\n");
    EXPECT_EQ(parseCameraStates(text), (std::map<int, R>{{1, R::Recording}, {36, R::Previewing}}));
}

TEST(CameraStates, DamagedLinesAreSkipped) {
    struct Case {
        const char* text;
        std::map<int, R> expected;
    } cases[] = {
        {"", {}},
        {"Camera3=Recording", {{3, R::Recording}}}, // no final line break
        {"Camera3=Recording\r\nCamera4=Previewing\r\n", {{3, R::Recording}, {4, R::Previewing}}},
        {"Camera0=Recording\nCamera37=Recording\n", {}}, // no such camera
        {"Camera=Recording\nCamerax=Recording\nCamera5x=Recording\n", {}},
        {"Camera5=recording\nCamera5=Stopped\nCamera5\n", {}}, // unknown states, no value
        {"Camera6=Previewing\nCamera6=Recording\n", {{6, R::Previewing}}}, // first one counts
        {"Camera99999999999999999999=Recording\n", {}},                    // number out of range
        {"garbage\nCamera8=Recording\n", {{8, R::Recording}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseCameraStates(c.text), c.expected) << c.text;
}
