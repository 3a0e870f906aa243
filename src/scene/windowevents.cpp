#include "scene/windowevents.h"

#include "session/eventlog.h"
#include <cmath>

#include <nlohmann/json.hpp>

namespace seafold {

namespace {

Json pointJson(const LoggedPoint& at)
{
    return Json::array({at.x, at.y, at.z});
}

} // namespace

bool WindowEvents::active() const
{
    return mLog && mLog->active();
}

void WindowEvents::write(const Json& line)
{
    if (active())
        mLog->write(line);
}

void WindowEvents::title(const std::string& title)
{
    write(Json{{"title", jsonText(title)}});
}

void WindowEvents::frame(uint64_t frame, const Json& shown)
{
    write(Json{{"frame", frame}, {"shown", shown}});
}

void WindowEvents::ownModel(const std::string& meshName, const LoggedPoint& at)
{
    if (!active())
        return;
    Json line;
    line["own"] = meshName.empty() ? Json(nullptr) : Json(jsonText(meshName));
    line["pos"] = pointJson(at);
    write(line);
}

void WindowEvents::camera(const char* after, const LoggedPoint& at, double pitchDegrees)
{
    if (!active())
        return;
    Json camera;
    camera["after"] = after;
    camera["pos"] = pointJson(at);
    camera["pitch"] = pitchDegrees;
    write(Json{{"camera", camera}});
}

void WindowEvents::key(const std::string& keyName, bool down)
{
    if (!active())
        return;
    Json line;
    line["key"] = jsonText(keyName);
    line["down"] = down;
    write(line);
}

void WindowEvents::button(int button, bool down, int x, int y)
{
    if (!active())
        return;
    Json line;
    line["button"] = button;
    line["down"] = down;
    line["at"] = Json::array({x, y});
    write(line);
}

void WindowEvents::guiTarget(const char* namePath)
{
    if (!active())
        return;
    Json line;
    line["gui_target"] = namePath ? Json(jsonText(namePath)) : Json(nullptr);
    write(line);
}

void WindowEvents::windowSize(unsigned width, unsigned height, bool hasGui, double guiWidth, double guiHeight)
{
    if (!active())
        return;
    Json line;
    line["window"] = Json::array({width, height});
    if (hasGui)
        line["gui"] = Json::array({guiWidth, guiHeight});
    write(line);
}

void WindowEvents::people(const Json& lines)
{
    write(Json{{"people", lines}});
}

void WindowEvents::talk(const std::string& line)
{
    write(Json{{"talk", line}});
}

void WindowEvents::voiceSetting(const std::string& name, bool muted, double volume)
{
    write(Json{{"voice", jsonText(name)}, {"muted", muted}, {"volume", std::round(volume * 100.0) / 100.0}});
}

void WindowEvents::talkChoice(bool whenSpeaking)
{
    write(Json{{"talk_when", whenSpeaking ? "speaking" : "holding R"}});
}

void WindowEvents::chatLine(const char* what)
{
    write(Json{{"chatline", what}});
}

void WindowEvents::othersShownLost(bool lost)
{
    write(Json{{"others", lost ? "lost" : "shown"}});
}

void WindowEvents::startWindow(const char* what, const Json& widgets)
{
    Json line{{"start", what}};
    if (!widgets.empty())
        line["widgets"] = widgets;
    write(line);
}

void WindowEvents::startServers(const Json& rows)
{
    write(Json{{"start_servers", rows}});
}

void WindowEvents::startStatus(const std::string& text, bool problem)
{
    write(Json{{"start_status", jsonText(text)}, {"problem", problem}});
}

void WindowEvents::sessionMenu(bool shown, const Json& widgets)
{
    write(Json{{"menu", shown ? "shown" : "hidden"}, {"widgets", widgets}});
}

void WindowEvents::settings(const char* what, const Json& details)
{
    Json line{{"settings", what}};
    for (const auto& [key, value] : details.items())
        line[key] = value;
    write(line);
}

void WindowEvents::widgetsOf(const char* panel, const Json& widgets)
{
    write(Json{{"widgets_of", panel}, {"widgets", widgets}});
}

void WindowEvents::panels(const Json& names)
{
    write(Json{{"panels", names}});
}

void WindowEvents::notice(const std::string& text)
{
    write(Json{{"notice", jsonText(text)}});
}

void WindowEvents::copied(const std::string& text, bool taken)
{
    write(Json{{"copied", jsonText(text)}, {"taken", taken}});
}

void WindowEvents::screenshot(const std::string& fileName, const Json& labels)
{
    write(Json{{"screenshot", fileName}, {"labels", labels}});
}

void WindowEvents::mouseMode(uint32_t mode)
{
    write(Json{{"mouse_mode", mode}});
}

void WindowEvents::materialSliders(bool open)
{
    write(Json{{"material_sliders", open ? "open" : "folded"}});
}

void WindowEvents::controlValue(const std::string& control, const std::string& constant, double value)
{
    if (!active())
        return;
    Json line;
    line["control"] = jsonText(control);
    line["constant"] = jsonText(constant);
    line["value"] = value;
    write(line);
}

} // namespace seafold
