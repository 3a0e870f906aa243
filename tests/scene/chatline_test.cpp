// The chat lines' timing, without a window to show them in.
#include "scene/chatline.h"

#include <gtest/gtest.h>

namespace seafold {
namespace {

// The notes a window is given before its first frame (the sound device, the
// config file's lines let be) were stamped 0 and gone at that frame, the
// monotonic clock being far past their time: nobody ever saw them.
TEST(ChatLine, NotesFromBeforeTheFirstFrameAreShownFromIt)
{
    ChatLine chat;
    chat.addNote("a kept choice did not read", 0);
    const uint32_t firstFrame = 5000000;
    chat.update(firstFrame);
    EXPECT_EQ(chat.shownText(), "a kept choice did not read");
    chat.update(firstFrame + ChatLine::ShownMs);
    EXPECT_EQ(chat.shownText(), "");
}

} // namespace
} // namespace seafold
