#include "scene/controllogic.h"

#include <algorithm>
#include <cstdio>

namespace seafold {

bool applyDirectionKey(uint32_t scanCode, bool down, DirectionKeys& keys)
{
    switch (scanCode) {
    case ScanW:
        keys.forward = down;
        break;
    case ScanS:
        keys.backward = down;
        break;
    case ScanA:
        keys.leftward = down;
        break;
    case ScanD:
        keys.rightward = down;
        break;
    default:
        break;
    }
    return keys.any();
}

void addKeyMotion(const DirectionKeys& keys, float timeStep, PendingMotion& motion)
{
    float step = kKeySpeed * timeStep;
    motion.translate.x += (keys.leftward ? -step : 0.0f) + (keys.rightward ? step : 0.0f);
    motion.translate.z += (keys.forward ? -step : 0.0f) + (keys.backward ? step : 0.0f);
}

bool addDragMotion(bool left, bool right, float dx, float dy, float timeStep, PendingMotion& motion)
{
    if (left && !right) {
        motion.rotX -= dx * timeStep * kTurnSpeed;
        motion.rotY -= dy * timeStep * kTurnSpeed;
    } else if (right && !left) {
        motion.translate.x += dx * timeStep * kDragSpeed;
        motion.translate.y -= dy * timeStep * kDragSpeed;
    } else if (left && right) {
        motion.translate.z += (dx + dy) * timeStep * kDragSpeed;
    } else {
        return false;
    }
    motion.mouseMoved = true;
    return true;
}

void addWheelMotion(float wheelChange, PendingMotion& motion)
{
    motion.translate.z -= wheelChange * kWheelSpeed;
    motion.mouseMoved = true;
}

float timeStepFromAverageFps(float averageFps)
{
    // A negative or absurd average (none known yet) keeps the slow default.
    if (!(averageFps >= 0.0f))
        return kMaxTimeStep;
    return std::min(1.0f / (averageFps + 1.0f), kMaxTimeStep);
}

int guiMouseButton(int inputButton)
{
    return inputButton >= 0 && inputButton <= 3 ? inputButton : 0;
}

std::string screenshotName(uint32_t count)
{
    return "screenshot_" + std::to_string(count) + ".png";
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
