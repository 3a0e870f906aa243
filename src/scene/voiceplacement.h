// Voices heard from where the speakers' models are: each voice's source sits
// at its speaker's model, relative to the listener, who is the camera.
#pragma once

namespace seafold {

class Seafold;

// Once a frame: places every voice of the application's session at its
// speaker's model as the camera sees it now. A speaker without a model, and
// every speaker with --flat-voice, is heard from the middle.
void placeVoicesAtModels(Seafold& app);

} // namespace seafold
