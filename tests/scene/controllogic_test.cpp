// How input becomes camera or model motion, and how the tuning rows are laid
// out and map scrollbar positions to shader values; no window needed.
#include "scene/controllogic.h"

#include <gtest/gtest.h>

#include <limits>

namespace seafold {
namespace {

TEST(DirectionKeys, WasdSetAndClearTheirFlagsAndOtherKeysChangeNothing)
{
    DirectionKeys keys;
    EXPECT_TRUE(applyDirectionKey(ScanW, true, keys));
    EXPECT_TRUE(keys.forward);
    EXPECT_TRUE(applyDirectionKey(ScanD, true, keys));
    // Escape (1), R (0x13) and an arrow key leave the flags alone.
    for (uint32_t other : {0x01u, 0x13u, 0xC8u})
        EXPECT_TRUE(applyDirectionKey(other, false, keys));
    EXPECT_TRUE(keys.forward && keys.rightward);
    EXPECT_TRUE(applyDirectionKey(ScanW, false, keys));
    EXPECT_FALSE(applyDirectionKey(ScanD, false, keys));
    EXPECT_FALSE(keys.any());
    applyDirectionKey(ScanA, true, keys);
    applyDirectionKey(ScanS, true, keys);
    EXPECT_TRUE(keys.leftward && keys.backward);
}

TEST(KeyMotion, OppositeKeysCancelAndForwardIsNegativeZ)
{
    PendingMotion motion;
    DirectionKeys keys;
    keys.forward = keys.backward = true;
    addKeyMotion(keys, 0.1f, motion);
    EXPECT_FLOAT_EQ(motion.translate.z, 0.0f);

    keys = DirectionKeys();
    keys.forward = keys.rightward = true;
    motion = PendingMotion();
    addKeyMotion(keys, 0.05f, motion);
    EXPECT_FLOAT_EQ(motion.translate.z, -1.5f);
    EXPECT_FLOAT_EQ(motion.translate.x, 1.5f);
    EXPECT_FLOAT_EQ(motion.translate.y, 0.0f);
    // Keys alone do not count as mouse motion.
    EXPECT_FALSE(motion.mouseMoved);
}

TEST(KeyMotion, TheModelMovesTheWayTheCameraLooksOverTheWater)
{
    // W (30 ahead), D (30 to the right), and a little up, seen from cameras
    // looking along these views; pitch never tilts the move off the water.
    const Motion3 forward{0, 0, -30}, right{30, 0, 0};
    struct Case {
        const char* camera;
        Motion3 view;
        Motion3 forwardMoves, rightMoves;
    } cases[] = {
        {"at start, along -z", {0, 0, -1}, {0, 0, -30}, {30, 0, 0}},
        {"turned to +x", {1, 0, 0}, {30, 0, 0}, {0, 0, 30}},
        {"turned back, along +z", {0, 0, 1}, {0, 0, 30}, {-30, 0, 0}},
        {"pitched down, along -x", {-0.6f, -0.8f, 0}, {-30, 0, 0}, {0, 0, -30}},
        {"straight down: world axes", {0, -1, 0}, {0, 0, -30}, {30, 0, 0}},
    };
    for (const Case& c : cases) {
        Motion3 f = keyMotionOnSea(forward, c.view), r = keyMotionOnSea(right, c.view);
        EXPECT_NEAR(f.x, c.forwardMoves.x, 1e-4) << c.camera;
        EXPECT_NEAR(f.y, 0, 1e-6) << c.camera;
        EXPECT_NEAR(f.z, c.forwardMoves.z, 1e-4) << c.camera;
        EXPECT_NEAR(r.x, c.rightMoves.x, 1e-4) << c.camera;
        EXPECT_NEAR(r.z, c.rightMoves.z, 1e-4) << c.camera;
    }
    EXPECT_FLOAT_EQ(keyMotionOnSea({0, 5, 0}, {1, 0, 0}).y, 5.0f); // up stays up
}

TEST(DragMotion, LeftTurnsRightSlidesBothMoveAlongTheViewAxis)
{
    PendingMotion turn;
    EXPECT_TRUE(addDragMotion(true, false, 4, -2, 0.1f, turn));
    EXPECT_FLOAT_EQ(turn.rotX, -4.0f);
    EXPECT_FLOAT_EQ(turn.rotY, 2.0f);
    EXPECT_FLOAT_EQ(turn.translate.x, 0.0f);
    EXPECT_TRUE(turn.mouseMoved);

    PendingMotion slide;
    EXPECT_TRUE(addDragMotion(false, true, 4, -2, 0.1f, slide));
    EXPECT_FLOAT_EQ(slide.translate.x, 12.0f);
    EXPECT_FLOAT_EQ(slide.translate.y, 6.0f);
    EXPECT_FLOAT_EQ(slide.rotX, 0.0f);

    PendingMotion both;
    EXPECT_TRUE(addDragMotion(true, true, 4, -2, 0.1f, both));
    EXPECT_FLOAT_EQ(both.translate.z, 6.0f);
    EXPECT_FLOAT_EQ(both.translate.x, 0.0f);

    // Moves without a button collect nothing and do not count as motion.
    PendingMotion none;
    EXPECT_FALSE(addDragMotion(false, false, 40, 40, 0.1f, none));
    EXPECT_FALSE(none.mouseMoved);
    EXPECT_FLOAT_EQ(none.rotX, 0.0f);
}

TEST(DragMotion, MovesBetweenFramesAddUp)
{
    PendingMotion motion;
    addDragMotion(true, false, 1, 0, 0.1f, motion);
    addDragMotion(true, false, 2, 0, 0.1f, motion);
    EXPECT_FLOAT_EQ(motion.rotX, -3.0f);
}

TEST(WheelMotion, ANotchScalesWithTheDistanceToTheFocusAndNeverPassesIt)
{
    // One notch was 600 units whatever the camera looked at: the own model
    // vanished behind the camera.
    struct Case {
        const char* what;
        float wheel, focus;
        float low, high; // the travel forward (negative: back)
    } cases[] = {
        {"one notch near the own model", 120, 30, 0.0f, 3.0f},
        {"one notch far over the sea", 120, 800, 40.0f, 80.0f},
        {"one notch back near the model", -120, 30, -3.0f, 0.0f},
        {"ten notches in one frame stop short of the model", 1200, 30, 0.0f, 30.0f - MinFocusDistance},
        {"at the closest already: no further", 120, MinFocusDistance, 0.0f, 0.0f},
        {"no focus known: the default distance", 120, 0, 0.0f, 0.1f * DefaultFocusDistance},
        {"nonsense focus: the default distance", 120, std::numeric_limits<float>::quiet_NaN(), 0.0f,
         0.1f * DefaultFocusDistance},
    };
    for (const Case& c : cases) {
        const float travel = wheelTravel(c.wheel, c.focus);
        EXPECT_GE(travel, c.low) << c.what;
        EXPECT_LE(travel, c.high) << c.what;
        if (c.wheel == 120 && c.focus > MinFocusDistance) { // the target: at most a tenth of the distance
            EXPECT_LE(travel, 0.1f * c.focus) << c.what;
        }
    }
    PendingMotion motion;
    addWheelMotion(120, 50, motion);
    EXPECT_FLOAT_EQ(motion.translate.z, -wheelTravel(120, 50));
    EXPECT_TRUE(motion.mouseMoved);
}

TEST(WheelFocus, TheOwnModelAheadThenTheWaterThenADefault)
{
    const Motion3 camera{0, 30, 100}, down{0, -0.6f, -0.8f}, up{0, 0.6f, -0.8f};
    const Motion3 ahead{0, 0, 60}, behind{0, 0, 200};
    struct Case {
        const char* what;
        Motion3 view;
        const Motion3* model;
        float distance;
    } cases[] = {
        {"the model ahead", down, &ahead, 50.0f},
        {"a model behind: where the view meets the water", down, &behind, 50.0f / 0.6f},
        {"no model: the water", down, nullptr, 50.0f / 0.6f},
        {"looking at the sky", up, nullptr, DefaultFocusDistance},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(focusDistance(camera, c.view, c.model), c.distance, 1e-3f) << c.what;
    // Water met beyond the scene's edge is no focus.
    EXPECT_FLOAT_EQ(focusDistance({0, 30, 0}, {0, -0.001f, -1}, nullptr), DefaultFocusDistance);
}

TEST(CameraBounds, TheCameraStaysAboveTheWaterAndWithinTheScene)
{
    // A right-button drag could take the camera under the sea.
    struct Case {
        const char* what;
        Motion3 in, out;
    } cases[] = {
        {"inside stays", {50, 0, 100}, {50, 0, 100}},
        {"under the water", {0, -60, 0}, {0, WaterLevel + CameraAboveWater, 0}},
        {"just above the water", {0, WaterLevel + 3, 0}, {0, WaterLevel + 3, 0}},
        {"past the east edge", {900, 0, 0}, {SceneHalfWidth, 0, 0}},
        {"past the north-west corner", {-700, 10, -800}, {-SceneHalfWidth, 10, -SceneHalfWidth}},
        {"above the ceiling", {0, 2000, 0}, {0, CameraCeiling, 0}},
    };
    for (const Case& c : cases) {
        const Motion3 out = clampToScene(c.in);
        EXPECT_FLOAT_EQ(out.x, c.out.x) << c.what;
        EXPECT_FLOAT_EQ(out.y, c.out.y) << c.what;
        EXPECT_FLOAT_EQ(out.z, c.out.z) << c.what;
    }
}

TEST(Statistics, RatesAreWholeFramesAndTimesAreMilliseconds)
{
    // The box showed "Worst FPS: 0.0106394 93990 ms".
    struct Case {
        float fps;
        const char* rate;
    } rates[] = {{62.4f, "62"}, {59.5f, "60"}, {0.0106394f, "under 1"}, {0, "0"}, {-1, "0"}};
    for (const Case& c : rates)
        EXPECT_EQ(frameRateText(c.fps), c.rate) << c.fps;
    struct Time {
        float ms;
        const char* text;
    } times[] = {{93990, "93990 ms"}, {12.49f, "12 ms"}, {8.33f, "8.3 ms"}, {-3, "0.0 ms"}};
    for (const Time& t : times)
        EXPECT_EQ(frameTimeText(t.ms), t.text) << t.ms;
}

TEST(TimeStep, FollowsTheAverageAndStaysAtMostOneTenth)
{
    EXPECT_FLOAT_EQ(timeStepFromAverageFps(0), 0.1f); // no average yet
    EXPECT_FLOAT_EQ(timeStepFromAverageFps(5), 0.1f); // below 9 frames per second
    EXPECT_FLOAT_EQ(timeStepFromAverageFps(9), 0.1f);
    EXPECT_FLOAT_EQ(timeStepFromAverageFps(59), 1.0f / 60.0f);
    // About 30 units per second whatever the frame rate, once it is known.
    for (float fps : {19.0f, 59.0f, 199.0f})
        EXPECT_NEAR(KeySpeed * timeStepFromAverageFps(fps) * (fps + 1), 30.0f, 1e-3f);
    // Nonsense from the statistics keeps the slow default.
    EXPECT_FLOAT_EQ(timeStepFromAverageFps(-1), 0.1f);
    EXPECT_FLOAT_EQ(timeStepFromAverageFps(std::numeric_limits<float>::quiet_NaN()), 0.1f);
}

TEST(MouseButtons, FourButtonsMapStraightAndOthersBecomeLeft)
{
    EXPECT_EQ(guiMouseButton(0), 0);
    EXPECT_EQ(guiMouseButton(1), 1);
    EXPECT_EQ(guiMouseButton(2), 2);
    EXPECT_EQ(guiMouseButton(3), 3);
    EXPECT_EQ(guiMouseButton(4), 0);
    EXPECT_EQ(guiMouseButton(7), 0);
    EXPECT_EQ(guiMouseButton(-1), 0);
}

TEST(ModelNames, AreTheFileNameWithoutTheExtensionCapitalised)
{
    const std::pair<const char*, const char*> cases[] = {
        {"boat.mesh", "Boat"}, {"lighthouse.mesh", "Lighthouse"}, {"sea_buoy.mesh", "Sea buoy"}, {"x", "X"}};
    for (const auto& c : cases)
        EXPECT_EQ(modelListName(c.first), c.second) << c.first;
}

TEST(Screenshots, AreNamedByDateAndTimeWithANumberForMoreInOneSecond)
{
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 5;
    when.tm_hour = 9;
    when.tm_min = 3;
    when.tm_sec = 7;
    EXPECT_EQ(screenshotName(when, 1), "seafold-2026-01-05-090307.png");
    EXPECT_EQ(screenshotName(when, 2), "seafold-2026-01-05-090307-2.png");
}

TEST(RowGeometry, RowsStepDownByFifteenHundredthsWithTheScrollbarBelowTheLabel)
{
    RowRect label = rowRect(RowPart::Label, 0);
    EXPECT_FLOAT_EQ(label.x, 0.01f);
    EXPECT_FLOAT_EQ(label.y, 0.15f);
    EXPECT_FLOAT_EQ(label.width, 0.19f);
    EXPECT_FLOAT_EQ(label.height, 0.06f);
    RowRect value = rowRect(RowPart::Value, 2);
    EXPECT_FLOAT_EQ(value.x, 0.37f);
    EXPECT_FLOAT_EQ(value.y, 0.45f);
    EXPECT_FLOAT_EQ(value.width, 0.065f);
    RowRect bar = rowRect(RowPart::Scrollbar, 2);
    EXPECT_FLOAT_EQ(bar.x, 0.5f);
    EXPECT_FLOAT_EQ(bar.y, 0.5f);
    EXPECT_FLOAT_EQ(bar.width, 0.21f);
    EXPECT_FLOAT_EQ(bar.height, 0.02f);
}

TEST(RowGeometry, AFullScrollLiftsTheRowsByOneFifthPerRow)
{
    const uint32_t rows = 8;
    float full = rowsDocumentSize(rows);
    EXPECT_FLOAT_EQ(full, 1.6f);
    // Every part of every row moves up by exactly the scroll position, and
    // sideways not at all.
    for (RowPart part : {RowPart::Label, RowPart::Value, RowPart::Scrollbar}) {
        for (uint32_t i = 0; i < rows; ++i) {
            RowRect top = rowRect(part, i, 0);
            RowRect scrolled = rowRect(part, i, full);
            EXPECT_FLOAT_EQ(scrolled.x, top.x);
            EXPECT_NEAR(top.y - scrolled.y, full, 1e-6f);
            EXPECT_FLOAT_EQ(scrolled.width, top.width);
        }
    }
    EXPECT_FLOAT_EQ(rowsDocumentSize(0), 0.0f);
}

TEST(ControlValues, ScrollPositionIsTheValueAboveTheMinimum)
{
    // A control from 0 to 1: twenty steps of 0.05; position 0.25 shows "0.250".
    EXPECT_FLOAT_EQ(controlDocumentSize(0, 1), 1.0f);
    EXPECT_FLOAT_EQ(controlStepSize(0, 1), 0.05f);
    EXPECT_EQ(formatControlValue(controlValueAt(0.25f, 0)), "0.250");
    // An offset range: 20 .. 300.
    EXPECT_FLOAT_EQ(controlDocumentSize(20, 300), 280.0f);
    EXPECT_FLOAT_EQ(controlStepSize(20, 300), 14.0f);
    EXPECT_FLOAT_EQ(controlValueAt(70, 20), 90.0f);
    EXPECT_FLOAT_EQ(controlScrollPositionOf(90, 20), 70.0f);
    // Negative minimum.
    EXPECT_FLOAT_EQ(controlValueAt(0, -1), -1.0f);
    EXPECT_EQ(formatControlValue(-1), "-1.000");
    EXPECT_EQ(formatControlValue(128), "128.000");
}

TEST(ControlValues, ComponentsOutsideTheConstantOrColourAreRefused)
{
    // A vec3: components 0..2; an array of two vec4: 0..7.
    EXPECT_TRUE(constantComponentValid(0, 3, 1));
    EXPECT_TRUE(constantComponentValid(2, 3, 1));
    EXPECT_FALSE(constantComponentValid(3, 3, 1));
    EXPECT_TRUE(constantComponentValid(7, 4, 2));
    EXPECT_FALSE(constantComponentValid(8, 4, 2));
    EXPECT_FALSE(constantComponentValid(-1, 4, 1));
    EXPECT_FALSE(constantComponentValid(0, 0, 1));

    for (int32_t i = 0; i < 4; ++i)
        EXPECT_TRUE(colourComponentValid(i));
    EXPECT_FALSE(colourComponentValid(4));
    EXPECT_FALSE(colourComponentValid(-1));
}

} // namespace
} // namespace seafold
