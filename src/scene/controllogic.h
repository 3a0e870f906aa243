// The arithmetic behind the frame listener and the panel, kept apart from the
// renderer, GUI and input libraries so that it can be tested without a window:
// how keys and mouse drags become camera or model motion, how mouse buttons
// map to the GUI's, where the tuning rows sit, and how a scrollbar position
// becomes a shader value.
#pragma once

#include <cstdint>
#include <string>

namespace seafold {

// ---- motion ------------------------------------------------------------------------

struct Motion3 {
    float x = 0, y = 0, z = 0;
};

// The four direction keys.
struct DirectionKeys {
    bool forward = false, backward = false, leftward = false, rightward = false;
    bool any() const { return forward || backward || leftward || rightward; }
};

// GUI scan codes of the direction keys.
enum : uint32_t {
    ScanW = 0x11,
    ScanA = 0x1E,
    ScanS = 0x1F,
    ScanD = 0x20,
};

// Sets or clears the flag of a direction key (W forward, S backward, A left,
// D right); other codes change nothing. Returns whether any key is held.
bool applyDirectionKey(uint32_t scanCode, bool down, DirectionKeys& keys);

// Motion collected between two frames, applied once at the next frame.
struct PendingMotion {
    Motion3 translate;
    float rotX = 0; // yaw, degrees
    float rotY = 0; // pitch, degrees
    bool mouseMoved = false;
};

// Units per frame and step of the direction keys (30 x time step).
constexpr float kKeySpeed = 30.0f;
// Degrees per pixel and step of a left-button drag (x time step).
constexpr float kTurnSpeed = 10.0f;
// Units per pixel and step of a right or both-buttons drag (x time step).
constexpr float kDragSpeed = 30.0f;
// Units per wheel unit (not scaled by the step).
constexpr float kWheelSpeed = 5.0f;
// The frame step before any average is known, and its upper limit.
constexpr float kMaxTimeStep = 0.1f;

// Adds the held direction keys' motion for one frame: x left/right, z
// forward (negative) / backward.
void addKeyMotion(const DirectionKeys& keys, float timeStep, PendingMotion& motion);

// A mouse move of (dx, dy) pixels while buttons are held: the left button
// turns, the right one slides in the view plane, both move along the view
// axis. Returns false (nothing collected) when neither is held.
bool addDragMotion(bool left, bool right, float dx, float dy, float timeStep, PendingMotion& motion);

// The wheel moves along the view axis.
void addWheelMotion(float wheelChange, PendingMotion& motion);

// min(1 / (average frames per second + 1), 0.1): about 30 units per second
// once the average is known.
float timeStepFromAverageFps(float averageFps);

// ---- input mapping -------------------------------------------------------------------

// The input library's mouse button number to the GUI's: 0 left, 1 right,
// 2 middle, 3 the fourth; anything else counts as left.
int guiMouseButton(int inputButton);

// "screenshot_" + count + ".png".
std::string screenshotName(uint32_t count);

// ---- tuning rows ---------------------------------------------------------------------

// A window's place in relative units of its parent.
struct RowRect {
    float x, y, width, height;
};

enum class RowPart { Label, Value, Scrollbar };

// Where part `part` of row `row` sits while the rows are scrolled by
// `scroll` (0 at the top).
RowRect rowRect(RowPart part, uint32_t row, float scroll = 0.0f);

// Document size of the rows' scrollbar for `count` rows: one fifth per row.
float rowsDocumentSize(uint32_t count);

// ---- control values -------------------------------------------------------------------

// A control's scrollbar: document size max - min, step (max - min) / 20.
float controlDocumentSize(float min, float max);
float controlStepSize(float min, float max);
// The value at a scroll position, and the position of a value.
float controlValueAt(float scrollPosition, float min);
float controlScrollPositionOf(float value, float min);

// The value as the panel shows it ("%3.3f").
std::string formatControlValue(float value);

// Whether component `elementIndex` lies within a float constant of
// `elementSize` x `arraySize` values, so that reading or writing it stays
// inside that constant.
bool constantComponentValid(int32_t elementIndex, size_t elementSize, size_t arraySize);

// Whether `elementIndex` names a colour component (0 red .. 3 alpha).
bool colourComponentValid(int32_t elementIndex);

} // namespace seafold
