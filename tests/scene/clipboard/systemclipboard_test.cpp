// The desktop's clipboard as another program sees it: a second connection
// to the same display asks for the selection, as a paste does. Run under a
// private X server (xvfb-run, from CMake).
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/platform.h"
#include "scene/systemclipboard.h"

using namespace seafold;

namespace {

// Another program on the display: asks for the clipboard in one form and
// waits, at most two seconds, for the answer while the owner serves.
class Paster {
public:
    Paster() : mDisplay(XOpenDisplay(nullptr))
    {
        if (!mDisplay)
            return;
        mWindow = XCreateSimpleWindow(mDisplay, DefaultRootWindow(mDisplay), 0, 0, 1, 1, 0, 0, 0);
        mClipboard = XInternAtom(mDisplay, "CLIPBOARD", False);
        mProperty = XInternAtom(mDisplay, "SEAFOLD_TEST_PASTE", False);
    }
    ~Paster()
    {
        if (mDisplay)
            XCloseDisplay(mDisplay);
    }
    bool open() const { return mDisplay != nullptr; }
    Atom atom(const char* name) { return XInternAtom(mDisplay, name, False); }

    // False when the owner refused the form or never answered.
    bool paste(const char* form, SystemClipboard& owner, std::vector<unsigned char>* bytes, Atom* type)
    {
        XConvertSelection(mDisplay, mClipboard, atom(form), mProperty, mWindow, CurrentTime);
        XFlush(mDisplay);
        for (int pass = 0; pass < 400; ++pass) {
            owner.service();
            while (XPending(mDisplay) > 0) {
                XEvent event;
                XNextEvent(mDisplay, &event);
                if (event.type != SelectionNotify)
                    continue;
                if (event.xselection.property == None)
                    return false;
                int format = 0;
                unsigned long count = 0, after = 0;
                unsigned char* data = nullptr;
                XGetWindowProperty(mDisplay, mWindow, mProperty, 0, 65536, True, AnyPropertyType, type, &format,
                                   &count, &after, &data);
                const size_t unit = format == 32 ? sizeof(long) : size_t(format / 8);
                bytes->assign(data, data + count * unit);
                XFree(data);
                return true;
            }
            sleepMilliseconds(5);
        }
        return false;
    }

    // Copies something of its own: the selection is this program's now.
    void takeOver()
    {
        XSetSelectionOwner(mDisplay, mClipboard, mWindow, CurrentTime);
        XFlush(mDisplay);
    }

private:
    ::Display* mDisplay;
    Window mWindow = 0;
    Atom mClipboard = 0, mProperty = 0;
};

} // namespace

TEST(SystemClipboard, AnotherProgramPastesTheTextInEveryFormItOffers)
{
    Paster paster;
    ASSERT_TRUE(paster.open()) << "no display: run under xvfb-run";
    SystemClipboard clipboard;
    const std::string text = "Join my Seafold session at 192.168.1.20:28000 (key fingerprint 0123456789abcdef).";
    ASSERT_TRUE(clipboard.copy(text));

    std::vector<unsigned char> bytes;
    Atom type = None;
    ASSERT_TRUE(paster.paste("TARGETS", clipboard, &bytes, &type));
    EXPECT_EQ(type, XA_ATOM);
    const Atom* forms = reinterpret_cast<const Atom*>(bytes.data());
    std::vector<Atom> offered(forms, forms + bytes.size() / sizeof(Atom));
    EXPECT_NE(std::find(offered.begin(), offered.end(), paster.atom("UTF8_STRING")), offered.end());

    for (const char* form : {"UTF8_STRING", "STRING", "TEXT"}) {
        SCOPED_TRACE(form);
        ASSERT_TRUE(paster.paste(form, clipboard, &bytes, &type));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
    }
    // A form it does not offer is refused, not answered with the text.
    EXPECT_FALSE(paster.paste("image/png", clipboard, &bytes, &type));
}

TEST(SystemClipboard, GivesTheTextUpWhenAnotherProgramCopies)
{
    Paster paster;
    ASSERT_TRUE(paster.open()) << "no display: run under xvfb-run";
    SystemClipboard clipboard;
    ASSERT_TRUE(clipboard.copy("192.168.1.20:28000"));
    paster.takeOver();
    for (int pass = 0; pass < 400 && !clipboard.text().empty(); ++pass) {
        clipboard.service();
        sleepMilliseconds(5);
    }
    EXPECT_EQ(clipboard.text(), "");
    // Copied again, it is its own once more.
    EXPECT_TRUE(clipboard.copy("192.168.1.20:28000"));
    EXPECT_EQ(clipboard.text(), "192.168.1.20:28000");
}
