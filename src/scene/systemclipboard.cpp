// The CLIPBOARD selection, owned and served through Xlib.
#include "scene/systemclipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace seafold {

namespace {

// More than any address list or fingerprint; a larger answer would need the
// incremental transfer, which nothing here copies enough to warrant.
constexpr size_t MostCopiedBytes = 64 * 1024;

// A program that asked and went away before the answer makes the answer
// fail; that must not end this one (Xlib's own handler exits).
int ignoreError(::Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

struct SystemClipboard::Connection {
    ::Display* display = nullptr;
    Window window = 0;
    Atom clipboard = 0, utf8 = 0, targets = 0, text = 0;

    ~Connection()
    {
        if (display) {
            XDestroyWindow(display, window);
            XCloseDisplay(display);
        }
    }

    // Hands the text to one request, or refuses a form it does not offer.
    void answer(const XSelectionRequestEvent& request, const std::string& offered)
    {
        // Clients of the oldest convention name no property: the target
        // is the property then.
        Atom property = request.property == None ? request.target : request.property;
        const auto* bytes = reinterpret_cast<const unsigned char*>(offered.data());
        auto handler = XSetErrorHandler(ignoreError);
        if (offered.empty() || request.selection != clipboard) {
            property = None;
        } else if (request.target == targets) {
            const Atom forms[] = {targets, utf8, text, XA_STRING};
            XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(forms), int(sizeof forms / sizeof forms[0]));
        } else if (request.target == utf8 || request.target == text) {
            XChangeProperty(display, request.requestor, property, utf8, 8, PropModeReplace, bytes,
                            int(offered.size()));
        } else if (request.target == XA_STRING) {
            // What is copied here is ASCII (addresses, hex), the same in
            // Latin-1.
            XChangeProperty(display, request.requestor, property, XA_STRING, 8, PropModeReplace, bytes,
                            int(offered.size()));
        } else {
            property = None;
        }
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.display = display;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.property = property;
        reply.xselection.time = request.time;
        XSendEvent(display, request.requestor, False, NoEventMask, &reply);
        XSync(display, False);
        XSetErrorHandler(handler);
    }
};

SystemClipboard::SystemClipboard() = default;

SystemClipboard::~SystemClipboard() = default;

bool SystemClipboard::copy(const std::string& text)
{
    if (text.empty() || text.size() > MostCopiedBytes)
        return false;
    if (!mConnection) {
        ::Display* display = XOpenDisplay(nullptr);
        if (!display)
            return false;
        mConnection = std::make_unique<Connection>();
        Connection& c = *mConnection;
        c.display = display;
        c.window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
        c.clipboard = XInternAtom(display, "CLIPBOARD", False);
        c.utf8 = XInternAtom(display, "UTF8_STRING", False);
        c.targets = XInternAtom(display, "TARGETS", False);
        c.text = XInternAtom(display, "TEXT", False);
    }
    Connection& c = *mConnection;
    XSetSelectionOwner(c.display, c.clipboard, c.window, CurrentTime);
    if (XGetSelectionOwner(c.display, c.clipboard) != c.window) {
        mText.clear();
        return false;
    }
    XFlush(c.display);
    mText = text;
    return true;
}

void SystemClipboard::service()
{
    if (!mConnection)
        return;
    Connection& c = *mConnection;
    while (XPending(c.display) > 0) {
        XEvent event;
        XNextEvent(c.display, &event);
        if (event.type == SelectionRequest)
            c.answer(event.xselectionrequest, mText);
        else if (event.type == SelectionClear && event.xselectionclear.selection == c.clipboard)
            mText.clear();
    }
}

} // namespace seafold
