// The arithmetic behind the frame listener and the panel, kept apart from the
// renderer, GUI and input libraries so that it can be tested without a window:
// how keys and mouse drags become camera or model motion, how mouse buttons
// map to the GUI's, where the tuning rows sit, and how a scrollbar position
// becomes a shader value.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

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

// The codes the four directions are bound to (by default W, S, A, D).
struct DirectionCodes {
    uint32_t forward = ScanW, backward = ScanS, leftward = ScanA, rightward = ScanD;
};

// Sets or clears the flag of a direction key (W forward, S backward, A left,
// D right, unless bound otherwise); other codes change nothing. Returns
// whether any key is held.
bool applyDirectionKey(uint32_t scanCode, bool down, DirectionKeys& keys, const DirectionCodes& codes = DirectionCodes());

// Motion collected between two frames, applied once at the next frame.
struct PendingMotion {
    Motion3 translate;
    float rotX = 0; // yaw, degrees
    float rotY = 0; // pitch, degrees
    bool mouseMoved = false;
};

// Units per frame and step of the direction keys (30 x time step).
constexpr float KeySpeed = 30.0f;
// Degrees per pixel and step of a left-button drag (x time step).
constexpr float TurnSpeed = 10.0f;
// Units per pixel and step of a right or both-buttons drag (x time step).
constexpr float DragSpeed = 30.0f;
// The frame step before any average is known, and its upper limit.
constexpr float MaxTimeStepSeconds = 0.1f;

// Adds the held direction keys' motion for one frame: x left/right, z
// forward (negative) / backward.
void addKeyMotion(const DirectionKeys& keys, float timeStep, PendingMotion& motion);

// A mouse move of (dx, dy) pixels while buttons are held: the left button
// turns, the right one slides in the view plane, both move along the view
// axis. Returns false (nothing collected) when neither is held.
bool addDragMotion(bool left, bool right, float dx, float dy, float timeStep, PendingMotion& motion);

// The direction keys' motion `keys` (x right, z backward, y up) for a model
// moved from a camera looking along `view`: turned to the way the camera
// faces, flattened onto the sea's plane, so W takes the model away from the
// camera over the water whatever the camera's pitch. A camera looking
// (nearly) straight up or down keeps the world's axes.
Motion3 keyMotionOnSea(const Motion3& keys, const Motion3& view);
// The shortest view, flattened onto the sea's plane, that still has a way
// ahead (of a unit view vector).
constexpr float MinFlatViewLength = 1e-3f;

// The wheel moves along the view axis by wheelTravel(wheelChange,
// focusDistance): towards the focus for a positive change.
void addWheelMotion(float wheelChange, float focusDistance, PendingMotion& motion);

// Wheel units of one notch, as the input library counts them.
constexpr float WheelNotch = 120.0f;
// One notch closes this share of the distance to what the camera looks at
// (or opens it by as much going back): a notch near a model is a few units,
// far over the sea a long way, and no number of notches passes the focus.
constexpr float WheelStepShare = 0.08f;
// The wheel stops this far from its focus.
constexpr float MinFocusDistance = 4.0f;
// The focus when the camera looks at nothing (the sky): this far ahead.
constexpr float DefaultFocusDistance = 100.0f;

// How far a wheel change of `wheelChange` units moves the camera along its
// view (positive: forward) when what it looks at is `focusDistance` away.
float wheelTravel(float wheelChange, float focusDistance);

// How far the camera at `camera` looking along the unit vector `view` is
// from what it looks at: the own model when there is one (`model` set) in
// front of it, else where the view meets the water within the scene, else
// DefaultFocusDistance.
float focusDistance(const Motion3& camera, const Motion3& view, const Motion3* model);

// min(1 / (average frames per second + 1), 0.1): about 30 units per second
// once the average is known.
float timeStepFromAverageFps(float averageFps);

// ---- camera and own model ---------------------------------------------------------

// The camera never pitches further up or down than this from level: beyond
// it the view would turn over the top.
constexpr float PitchLimitDegrees = 80.0f;

// The pitch (degrees up from level) of a view direction whose upward
// component is `directionY` (of a unit vector).
float pitchOfDirection(float directionY);

// The part of a pitch step of `stepDegrees` that keeps the camera within
// the limit, from a pitch of `currentDegrees`.
float clampedPitchStep(float currentDegrees, float stepDegrees, float limitDegrees = PitchLimitDegrees);

// World units that one pixel spans at `distance` in front of a camera with
// vertical field of view `fovYRadians` over `viewportHeight` pixels.
float unitsPerPixelAt(float distance, float fovYRadians, float viewportHeight);

// A model closer than this still moves as if it stood this far: a drag must
// move a model under the camera too.
constexpr float MinDragDistance = 10.0f;

// A drag of the own model (model mode): the left button turns it as
// addDragMotion does; the right button slides it and both buttons move it
// along the view axis by `unitsPerPixel` per pixel, so the model follows the
// pointer at its own distance whatever the frame rate. False when neither
// button is held.
bool addModelDragMotion(bool left, bool right, float dx, float dy, float timeStep, float unitsPerPixel,
                        PendingMotion& motion);

// The surface of the sea (the ocean plane), and the height at which models
// float on it.
constexpr float WaterLevel = -20.0f;
constexpr float ModelLevel = 0.0f;
// The scene the camera stays in: over the ocean surface (SceneHalfWidth
// each way from the origin, where the sea ends), never lower than
// CameraAboveWater over the water, never higher than CameraCeiling.
constexpr float SceneHalfWidth = 500.0f;
constexpr float CameraAboveWater = 2.0f;
constexpr float CameraCeiling = 450.0f;

// `camera` moved back into the scene's bounds (unchanged when inside).
Motion3 clampToScene(const Motion3& camera);

// How far in front of the camera End puts the own model.
constexpr float ReturnDistance = 80.0f;

// Where End puts the own model: on the view axis, ReturnDistance ahead of
// a camera at `camera` looking along the unit vector `view`. When that
// point is under the sea, the model goes where the view axis meets the
// water, floating at model level.
Motion3 modelReturnTarget(const Motion3& camera, const Motion3& view);

// ---- other users' models ------------------------------------------------------------

// Other users' models start on rings around the origin (the own model's
// place), RingSlots to a ring, RingRadius apart from ring to ring.
constexpr uint32_t RingSlots = 8;
constexpr float RingRadius = 60.0f;

// The start of slot `slot`: the first slots lie where the camera looks at
// start (behind the origin, then to either side), the later ones round the
// back; slot RingSlots begins the next ring out.
Motion3 ringSlotPosition(uint32_t slot);

// The lowest slot that `taken` (slot numbers in use) does not hold.
uint32_t firstFreeSlot(const std::vector<uint32_t>& taken);

// ---- labels and title -----------------------------------------------------------------

// A rectangle in window pixels.
struct ScreenBox {
    float x = 0, y = 0, width = 0, height = 0;
};

// Pixels between a label and the top of its model.
constexpr float LabelGap = 4.0f;

// Where a label of `labelWidth` x `labelHeight` pixels goes for a model whose
// top projects to clip coordinates (clipX, clipY, clipW) in a view of
// `viewWidth` x `viewHeight` pixels: centred above that point. False when
// the point is behind the camera or the label would be wholly outside the
// view.
bool labelBoxAbove(float clipX, float clipY, float clipW, float viewWidth, float viewHeight, float labelWidth,
                   float labelHeight, ScreenBox* box);

// A name that came off the network, fit to show: valid UTF-8 as it is, any
// other byte as \xHH, and control characters (which could break a line) as
// "?".
std::string displayText(const std::string& bytes);

// "Seafold — server on ADDRESS" or "Seafold — NAME @ ADDRESS".
std::string windowTitle(bool isClient, const std::string& userName, const std::string& address);

// ---- statistics ------------------------------------------------------------------------

// A frame rate as the statistics box shows it: whole frames per second
// ("62"), "under 1" below one.
std::string frameRateText(float fps);
// A frame time in milliseconds: one decimal below 10 ms ("12 ms", "8.3 ms").
std::string frameTimeText(float ms);

// ---- input mapping -------------------------------------------------------------------

// The input library's mouse button number to the GUI's: 0 left, 1 right,
// 2 middle, 3 the fourth; anything else counts as left.
int guiMouseButton(int inputButton);

// The name "Your model" shows for a mesh file: "lighthouse.mesh" ->
// "Lighthouse", "sea_buoy.mesh" -> "Sea buoy".
std::string modelListName(const std::string& meshFile);

// A screenshot's file name from the local time it was taken:
// "seafold-YYYY-MM-DD-HHMMSS.png", or with "-N" before ".png" for the Nth
// (N from 2) taken in the same second.
std::string screenshotName(const std::tm& when, uint32_t nth);

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
