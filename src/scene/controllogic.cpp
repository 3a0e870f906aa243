#include "scene/controllogic.h"
#include "session/json.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace seafold {

bool applyDirectionKey(uint32_t scanCode, bool down, DirectionKeys& keys, const DirectionCodes& codes)
{
    if (scanCode == codes.forward)
        keys.forward = down;
    else if (scanCode == codes.backward)
        keys.backward = down;
    else if (scanCode == codes.leftward)
        keys.leftward = down;
    else if (scanCode == codes.rightward)
        keys.rightward = down;
    return keys.any();
}

void addKeyMotion(const DirectionKeys& keys, float timeStep, PendingMotion& motion)
{
    float step = KeySpeed * timeStep;
    motion.translate.x += (keys.leftward ? -step : 0.0f) + (keys.rightward ? step : 0.0f);
    motion.translate.z += (keys.forward ? -step : 0.0f) + (keys.backward ? step : 0.0f);
}

Motion3 keyMotionOnSea(const Motion3& keys, const Motion3& view)
{
    const float length = std::hypot(view.x, view.z);
    if (!(length > MinFlatViewLength))
        return keys;
    // Ahead (fx, fz) and to the right (-fz, fx) over the water.
    const float fx = view.x / length, fz = view.z / length;
    return {-fz * keys.x - fx * keys.z, keys.y, fx * keys.x - fz * keys.z};
}

bool addDragMotion(bool left, bool right, float dx, float dy, float timeStep, PendingMotion& motion)
{
    if (left && !right) {
        motion.rotX -= dx * timeStep * TurnSpeed;
        motion.rotY -= dy * timeStep * TurnSpeed;
    } else if (right && !left) {
        motion.translate.x += dx * timeStep * DragSpeed;
        motion.translate.y -= dy * timeStep * DragSpeed;
    } else if (left && right) {
        motion.translate.z += (dx + dy) * timeStep * DragSpeed;
    } else {
        return false;
    }
    motion.mouseMoved = true;
    return true;
}

void addWheelMotion(float wheelChange, float focus, PendingMotion& motion)
{
    motion.translate.z -= wheelTravel(wheelChange, focus);
    motion.mouseMoved = true;
}

float wheelTravel(float wheelChange, float focus)
{
    if (!(focus > 0.0f) || !std::isfinite(focus))
        focus = DefaultFocusDistance;
    const float notches = wheelChange / WheelNotch;
    if (notches >= 0.0f) {
        // Each notch keeps (1 - share) of the distance left.
        const float left = std::max(focus * std::pow(1.0f - WheelStepShare, notches), MinFocusDistance);
        return std::max(0.0f, focus - left);
    }
    return -(focus * std::pow(1.0f + WheelStepShare, -notches) - focus);
}

float focusDistance(const Motion3& camera, const Motion3& view, const Motion3* model)
{
    if (model) {
        const Motion3 to{model->x - camera.x, model->y - camera.y, model->z - camera.z};
        const float ahead = to.x * view.x + to.y * view.y + to.z * view.z;
        if (ahead > 0.0f)
            return std::sqrt(to.x * to.x + to.y * to.y + to.z * to.z);
    }
    if (view.y < 0.0f && camera.y > WaterLevel) {
        const float t = (WaterLevel - camera.y) / view.y;
        const float x = camera.x + view.x * t, z = camera.z + view.z * t;
        if (std::fabs(x) <= SceneHalfWidth && std::fabs(z) <= SceneHalfWidth)
            return t;
    }
    return DefaultFocusDistance;
}

std::string frameRateText(float fps)
{
    if (!(fps >= 0.5f))
        return fps > 0.0f ? "under 1" : "0";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", double(std::min(fps, 1e6f)));
    return text;
}

std::string frameTimeText(float ms)
{
    char text[32];
    if (!(ms >= 0.0f))
        ms = 0.0f;
    std::snprintf(text, sizeof text, ms < 9.95f ? "%.1f ms" : "%.0f ms", double(std::min(ms, 1e9f)));
    return text;
}

Motion3 clampToScene(const Motion3& camera)
{
    auto limit = [](float value, float low, float high) { return std::max(low, std::min(high, value)); };
    return {limit(camera.x, -SceneHalfWidth, SceneHalfWidth), limit(camera.y, WaterLevel + CameraAboveWater, CameraCeiling),
            limit(camera.z, -SceneHalfWidth, SceneHalfWidth)};
}

float timeStepFromAverageFps(float averageFps)
{
    // A negative or absurd average (none known yet) keeps the slow default.
    if (!(averageFps >= 0.0f))
        return MaxTimeStepSeconds;
    return std::min(1.0f / (averageFps + 1.0f), MaxTimeStepSeconds);
}

float pitchOfDirection(float directionY)
{
    return std::asin(std::clamp(directionY, -1.0f, 1.0f)) * 57.29578f;
}

float clampedPitchStep(float currentDegrees, float stepDegrees, float limitDegrees)
{
    // A camera already beyond the limit (set from outside) may only come back.
    float wanted = currentDegrees + stepDegrees;
    float low = std::min(-limitDegrees, currentDegrees), high = std::max(limitDegrees, currentDegrees);
    return std::clamp(wanted, low, high) - currentDegrees;
}

float unitsPerPixelAt(float distance, float fovYRadians, float viewportHeight)
{
    if (!(viewportHeight > 0.0f))
        return 0.0f;
    return 2.0f * std::max(distance, MinDragDistance) * std::tan(fovYRadians * 0.5f) / viewportHeight;
}

bool addModelDragMotion(bool left, bool right, float dx, float dy, float timeStep, float unitsPerPixel,
                        PendingMotion& motion)
{
    if (left && !right)
        return addDragMotion(left, right, dx, dy, timeStep, motion);
    if (right && !left) {
        motion.translate.x += dx * unitsPerPixel;
        motion.translate.y -= dy * unitsPerPixel;
    } else if (left && right) {
        motion.translate.z += (dx + dy) * unitsPerPixel;
    } else {
        return false;
    }
    motion.mouseMoved = true;
    return true;
}

Motion3 modelReturnTarget(const Motion3& camera, const Motion3& view)
{
    Motion3 target{camera.x + view.x * ReturnDistance, camera.y + view.y * ReturnDistance,
                   camera.z + view.z * ReturnDistance};
    // Only a camera above the water looking down can see where its view
    // axis meets the water.
    if (target.y >= WaterLevel || camera.y <= WaterLevel || !(view.y < 0.0f))
        return target;
    float t = (WaterLevel - camera.y) / view.y;
    return {camera.x + view.x * t, ModelLevel, camera.z + view.z * t};
}

Motion3 ringSlotPosition(uint32_t slot)
{
    // Angles from straight behind the origin (negative z, away from the
    // start camera), alternating left and right.
    static const float Angles[RingSlots] = {0, -45, 45, -90, 90, -135, 135, 180};
    float radius = RingRadius * float(slot / RingSlots + 1);
    float angle = Angles[slot % RingSlots] / 57.29578f;
    return {radius * std::sin(angle), ModelLevel, -radius * std::cos(angle)};
}

uint32_t firstFreeSlot(const std::vector<uint32_t>& taken)
{
    uint32_t slot = 0;
    while (std::find(taken.begin(), taken.end(), slot) != taken.end())
        ++slot;
    return slot;
}

bool labelBoxAbove(float clipX, float clipY, float clipW, float viewWidth, float viewHeight, float labelWidth,
                   float labelHeight, ScreenBox* box)
{
    // Behind the camera (or on its plane) the projection means nothing.
    if (!(clipW > 1e-4f))
        return false;
    float px = (clipX / clipW * 0.5f + 0.5f) * viewWidth;
    float py = (0.5f - clipY / clipW * 0.5f) * viewHeight;
    ScreenBox b;
    b.width = labelWidth;
    b.height = labelHeight;
    b.x = std::round(px - labelWidth * 0.5f);
    b.y = std::round(py - LabelGap - labelHeight);
    if (!std::isfinite(b.x) || !std::isfinite(b.y))
        return false;
    if (b.x + b.width <= 0 || b.x >= viewWidth || b.y + b.height <= 0 || b.y >= viewHeight)
        return false;
    *box = b;
    return true;
}

std::string displayText(const std::string& bytes)
{
    std::string text = jsonText(bytes);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

std::string windowTitle(bool isClient, const std::string& userName, const std::string& address)
{
    // U+2014 EM DASH, in UTF-8.
    const std::string dash = "\xe2\x80\x94";
    // No session yet (the start window).
    if (address.empty())
        return "Seafold";
    if (isClient)
        return "Seafold " + dash + " " + displayText(userName) + " @ " + displayText(address);
    // A server whose user takes part goes by that user's name too.
    if (!userName.empty())
        return "Seafold " + dash + " " + displayText(userName) + " hosting on " + displayText(address);
    return "Seafold " + dash + " server on " + displayText(address);
}

int guiMouseButton(int inputButton)
{
    return inputButton >= 0 && inputButton <= 3 ? inputButton : 0;
}

std::string modelListName(const std::string& meshFile)
{
    std::string name = meshFile.substr(0, meshFile.rfind('.'));
    for (char& c : name) {
        if (c == '_' || c == '-')
            c = ' ';
    }
    if (!name.empty())
        name[0] = char(std::toupper(static_cast<unsigned char>(name[0])));
    return name;
}

std::string screenshotName(const std::tm& when, uint32_t nth)
{
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &when);
    return std::string("seafold-") + stamp + (nth > 1 ? "-" + std::to_string(nth) : std::string()) + ".png";
}

RowRect rowRect(RowPart part, uint32_t row, float scroll)
{
    // The scrollbar sits 0.05 below the top of its label and value.
    float top = 0.15f * float(row) + 0.2f - scroll;
    switch (part) {
    case RowPart::Label:
        return {0.01f, top - 0.05f, 0.19f, 0.06f};
    case RowPart::Value:
        return {0.37f, top - 0.05f, 0.065f, 0.06f};
    case RowPart::Scrollbar:
    default:
        return {0.5f, top, 0.21f, 0.02f};
    }
}

float rowsDocumentSize(uint32_t count)
{
    return float(count) / 5.0f;
}

float controlDocumentSize(float min, float max)
{
    return max - min;
}

float controlStepSize(float min, float max)
{
    return (max - min) / 20.0f;
}

float controlValueAt(float scrollPosition, float min)
{
    return scrollPosition + min;
}

float controlScrollPositionOf(float value, float min)
{
    return value - min;
}

std::string formatControlValue(float value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%3.3f", double(value));
    return text;
}

bool constantComponentValid(int32_t elementIndex, size_t elementSize, size_t arraySize)
{
    return elementIndex >= 0 && size_t(elementIndex) < elementSize * arraySize;
}

bool colourComponentValid(int32_t elementIndex)
{
    return elementIndex >= 0 && elementIndex <= 3;
}

} // namespace seafold
