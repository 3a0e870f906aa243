// Texts for the GUI. Our texts, and the names that come off the network, are
// UTF-8 bytes; the GUI's strings take code points, so the bytes are decoded
// on the way in (a plain char pointer would be taken one byte per character).
#pragma once

#include <CEGUI/String.h>

#include <string>

namespace seafold {

inline CEGUI::String guiUtf8(const std::string& text)
{
    return CEGUI::String(reinterpret_cast<const CEGUI::utf8*>(text.c_str()));
}

} // namespace seafold
