#!/usr/bin/env bash
# Runs the windowed program under a private X server (Xvfb with Mesa) and
# checks what it does. Usage: windowed_test.sh CASE SEAFOLD_BINARY WORK_DIR
#   screenshot  a server renders; its screenshot shows sky, ocean and panel
#   models      every generated model mesh loads and shows
#   exception   a missing material ends with the renderer's message, exit 1;
#               a missing panel layout makes set-up fail, exit 1
#   no-display  without a display: one line naming seafold-headless, exit 1
#   panel       the chosen radio button stands out from the other of its
#               group, an enabled check box that is off is drawn as strongly
#               as one that is on (only the disabled one is dim), and the
#               material sliders, folded at start, open when asked to
#   looks       the choppy sea reads as blue-green water, not white; the
#               light's flare shows where the light is, behind the start view
#               (the default) and ahead of it
#   overlap     a server and two clients whose windows cover each other
#               all draw and connect, and keep running (no renderer error)
#   config-dialog  without a saved configuration the default in the media is
#               used (no dialog, nothing saved); with SEAFOLD_CONFIG_DIALOG=1
#               the dialog appears and Cancel exits 1
set -uo pipefail

case_name=$1
seafold=$(realpath "$2")
work=$3/$case_name
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

fail() {
    echo "FAIL ($case_name): $*" >&2
    exit 1
}

# A saved configuration, so that no dialog waits for a click: the default
# one (1024 x 768 in a window) that the build puts beside the media.
write_config() {
    cp "$(dirname "$seafold")/../media/ogre-default.cfg" ogre.cfg || fail "no ogre-default.cfg in the media"
}

# A UDP port nothing on this machine uses now: a server whose port is taken
# ends at once with exit code 1, and other tests run beside this one.
free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# run_windowed OUT ERR [VAR=VALUE...]: runs a server under Xvfb, at most 90 s.
run_windowed() {
    local out=$1 err=$2
    shift 2
    env XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config" "$@" timeout 90 xvfb-run -a -s "-screen 0 1024x768x24" \
        "$seafold" server 127.0.0.1:"$(free_port)" >"$out" 2>"$err"
}

# mean_rgb FILE W H X Y: the average colour of a region as "R G B" (0-255).
mean_rgb() {
    convert "$1" -crop "$2x$3+$4+$5" +repage -resize '1x1!' -depth 8 \
        -format '%[fx:round(255*r)] %[fx:round(255*g)] %[fx:round(255*b)]' info:
}

# sea R G B: a mean colour that is bright blue-green water.
sea() {
    [ $(($1 + $2 + $3)) -gt 200 ] && [ "$2" -gt $(($1 + 20)) ] && [ "$3" -gt $(($1 + 20)) ]
}

# brightness FILE W H X Y: the mean and the highest grey level of a region
# (0-255): a control's label at full strength has a bright highest level.
brightness() {
    convert "$1" -crop "$2x$3+$4+$5" +repage -colorspace Gray \
        -format '%[fx:round(255*mean)] %[fx:round(255*maxima)]' info:
}

case $case_name in
screenshot)
    write_config
    run_windowed out.txt err.txt SEAFOLD_SCREENSHOT_AFTER_FRAMES=30 \
        SEAFOLD_SCREENSHOT_PATH="$work/seafold_screenshot.png" SEAFOLD_SHOW_MODEL=lighthouse.mesh
    status=$?
    [ $status -eq 0 ] || { cat err.txt >&2; fail "exit code $status"; }
    [ -s seafold_screenshot.png ] || fail "no screenshot"
    size=$(identify -format '%w %h' seafold_screenshot.png)
    [ "$size" = "1024 768" ] || fail "screenshot is $size, not 1024 768"

    # Sky: upper middle, left of the choice panel. Blue above red and green.
    read -r r g b < <(mean_rgb seafold_screenshot.png 300 150 150 80)
    echo "sky $r $g $b"
    [ "$b" -gt 150 ] && [ "$b" -gt $((r + 30)) ] && [ "$b" -ge "$g" ] || fail "no sky: $r $g $b"

    # Ocean: below the horizon, between the panels. Bright, blue-green water.
    read -r r g b < <(mean_rgb seafold_screenshot.png 150 100 580 620)
    echo "ocean $r $g $b"
    sea "$r" "$g" "$b" || fail "no ocean: $r $g $b"

    # Panel: inside the choice panel at the top right (the material sliders
    # start folded: the case "panel" looks at them).
    read -r r g b < <(mean_rgb seafold_screenshot.png 200 120 790 200)
    echo "choice panel $r $g $b"
    [ $((r + g + b)) -lt 250 ] || fail "no choice panel: $r $g $b"

    # The lighthouse stands in the middle of the view: red and white bands.
    read -r r g b < <(mean_rgb seafold_screenshot.png 40 160 495 210)
    echo "lighthouse $r $g $b"
    [ "$r" -gt $((b + 30)) ] || fail "no lighthouse: $r $g $b"

    # Not an empty frame: plenty of contrast overall.
    spread=$(convert seafold_screenshot.png -colorspace Gray -format '%[fx:round(1000*standard_deviation)]' info:)
    echo "grey spread $spread"
    [ "$spread" -gt 80 ] || fail "flat image (spread $spread)"
    ;;

panel)
    write_config
    run_windowed out.txt err.txt SEAFOLD_SCREENSHOT_AFTER_FRAMES=10 SEAFOLD_SCREENSHOT_PATH="$work/folded.png"
    status=$?
    [ $status -eq 0 ] && [ -s folded.png ] || { cat err.txt >&2; fail "no screenshot (exit code $status)"; }
    # Where the layout puts the controls in a 1024 x 768 window: the round
    # frames (16 x 16) of "Camera" (chosen) and "Model", of "hold R" (chosen)
    # and "when I speak"; the check boxes with their labels, "Follow my
    # model" (on), "Spin light" (off) and "Mute" (off, disabled until a
    # voice is picked).
    for pair in "Camera 780 214 Model 893 214" "hold-R 805 704 when-I-speak 881 704"; do
        read -r chosen cx cy other ox oy <<<"$pair"
        read -r chosen_mean _ < <(brightness folded.png 16 16 "$cx" "$cy")
        read -r other_mean _ < <(brightness folded.png 16 16 "$ox" "$oy")
        read -r r g b < <(mean_rgb folded.png 16 16 "$cx" "$cy")
        echo "radio frames: $chosen (chosen) $chosen_mean, green $g over red $r; $other $other_mean"
        [ "$chosen_mean" -gt $((other_mean + 30)) ] && [ "$g" -gt $((r + 40)) ] ||
            fail "the chosen $chosen is not marked: frame $chosen_mean (green $g, red $r) against $other_mean"
    done
    read -r _ on_top < <(brightness folded.png 100 18 780 282)
    read -r _ off_top < <(brightness folded.png 100 18 893 256)
    read -r _ disabled_top < <(brightness folded.png 60 18 853 664)
    echo "check boxes, brightest grey: Follow my model (on) $on_top, Spin light (off) $off_top, Mute (disabled) $disabled_top"
    [ "$off_top" -ge $((on_top - 25)) ] || fail "the enabled box that is off is dim: $off_top against $on_top when on"
    [ "$off_top" -gt $((disabled_top + 60)) ] ||
        fail "the enabled box that is off looks like the disabled one: $off_top against $disabled_top"
    read -r r g b < <(mean_rgb folded.png 300 150 60 520)
    echo "sliders folded: lower left $r $g $b"
    sea "$r" "$g" "$b" || fail "with the sliders folded the lower left is not the sea: $r $g $b"

    # Opened at start (as a user who left them open): their dark navy window
    # is there instead, quite unlike the water.
    run_windowed out2.txt err2.txt SEAFOLD_SCREENSHOT_AFTER_FRAMES=10 SEAFOLD_SCREENSHOT_PATH="$work/open.png" \
        SEAFOLD_MATERIAL_SLIDERS=open
    [ -s open.png ] || { cat err2.txt >&2; fail "sliders open: no screenshot"; }
    read -r r g b < <(mean_rgb open.png 300 150 60 520)
    echo "sliders open: lower left $r $g $b"
    [ $((r + g + b)) -lt 200 ] && [ "$b" -gt "$r" ] || fail "the sliders did not open: $r $g $b"
    ;;

models)
    write_config
    for model in boat buoy fish lighthouse; do
        run_windowed "$model.out" "$model.err" SEAFOLD_SCREENSHOT_AFTER_FRAMES=3 \
            SEAFOLD_SCREENSHOT_PATH="$work/$model.png" SEAFOLD_SHOW_MODEL=$model.mesh
        status=$?
        [ $status -eq 0 ] || { cat "$model.err" >&2; fail "$model: exit code $status"; }
        grep -q "An exception has occured" "$model.err" && { cat "$model.err" >&2; fail "$model: exception"; }
        [ -s "$model.png" ] || fail "$model: no screenshot"
        echo "$model shown"
    done
    ;;

looks)
    write_config
    run_windowed out.txt err.txt SEAFOLD_SCREENSHOT_AFTER_FRAMES=10 SEAFOLD_SCREENSHOT_PATH="$work/choppy.png" \
        SEAFOLD_OCEAN_MATERIAL="Choppy sea"
    status=$?
    [ $status -eq 0 ] || { cat err.txt >&2; fail "choppy sea: exit code $status"; }
    # The sea between the panels, below the horizon.
    read -r r g b < <(mean_rgb choppy.png 280 300 470 420)
    white=$(convert choppy.png -crop 280x300+470+420 +repage -fx '(r > 0.75 && g > 0.75 && b > 0.75) ? 1 : 0' \
        -format '%[fx:round(1000 * mean)]' info:)
    echo "choppy sea $r $g $b, white pixels $white per 1000"
    [ "$g" -gt $((r + 35)) ] && [ "$b" -gt $((r + 50)) ] && [ $((r + g + b)) -lt 450 ] ||
        fail "the choppy sea is not blue-green water: $r $g $b"
    [ "$white" -lt 50 ] || fail "the choppy sea is white ($white per 1000 white pixels)"

    # The camera turned to the light: its flare is a bright spot in the middle
    # of the view, fading outwards.
    for angle in 35 300; do
        run_windowed "flare$angle.out" "flare$angle.err" SEAFOLD_SCREENSHOT_AFTER_FRAMES=10 \
            SEAFOLD_SCREENSHOT_PATH="$work/flare$angle.png" SEAFOLD_LIGHT_ANGLE=$angle SEAFOLD_LOOK_AT=light
        [ -s "flare$angle.png" ] || { cat "flare$angle.err" >&2; fail "light at $angle degrees: no screenshot"; }
        read -r r g b < <(mean_rgb "flare$angle.png" 16 16 504 376)
        read -r r2 g2 b2 < <(mean_rgb "flare$angle.png" 16 16 354 226)
        echo "light at $angle degrees: flare core $r $g $b, beside it $r2 $g2 $b2"
        [ "$r" -gt 180 ] && [ "$g" -gt 230 ] && [ "$r" -gt $((r2 + 80)) ] ||
            fail "light at $angle degrees: no flare where the light is ($r $g $b against $r2 $g2 $b2)"
    done
    ;;

exception)
    write_config
    # Our media with the sky box material taken out.
    media_dir=$(dirname "$seafold")/../media
    [ -f "$media_dir/plugins.cfg" ] || fail "no media beside the program ($media_dir)"
    cp -r "$media_dir" media
    sed -i '/^material SkyBox/,/^}/d' media/materials/sky.material
    grep -q SkyBox media/materials/sky.material && fail "test set-up: SkyBox still defined"
    run_windowed out.txt err.txt SEAFOLD_MEDIA="$work/media" SEAFOLD_SCREENSHOT_AFTER_FRAMES=5
    status=$?
    cat err.txt
    # A renderer exception is a failure, not a normal end.
    [ $status -eq 1 ] || fail "exit code $status, expected 1"
    grep -q "^An exception has occured: .*SkyBox" err.txt || fail "no exception message naming SkyBox"

    # Without the panel layout the GUI cannot be set up: set-up fails, exit 1.
    cp -r "$media_dir" media-nolayout
    rm media-nolayout/gui/Seafold.layout
    run_windowed out2.txt err2.txt SEAFOLD_MEDIA="$work/media-nolayout" SEAFOLD_SCREENSHOT_AFTER_FRAMES=5
    status=$?
    cat err2.txt
    [ $status -eq 1 ] || fail "without a layout: exit code $status, expected 1"
    grep -q "An exception has occured" err2.txt && fail "without a layout: reported as a renderer exception"
    grep -q "^seafold: no window: .*CEGUI.log" err2.txt || fail "without a layout: no line saying why"
    grep -q "GUI set-up failed" "$work/cache/seafold/Ogre.log" || fail "without a layout: no log line about the GUI"

    # A renderer plug-in that cannot start is said in one line, after
    # three tries, and ends the program with 1 instead of a crash.
    cp -r "$media_dir" media-noplugin
    sed -i 's/^Plugin=RenderSystem_GL$/Plugin=RenderSystem_None/' media-noplugin/plugins.cfg
    run_windowed out3.txt err3.txt SEAFOLD_MEDIA="$work/media-noplugin" SEAFOLD_SCREENSHOT_AFTER_FRAMES=5
    status=$?
    cat err3.txt
    [ $status -eq 1 ] || fail "without its render system: exit code $status, expected 1"
    grep -q "^seafold: the renderer could not start (RenderSystem_None: " err3.txt ||
        fail "without its render system: no line saying why"
    [ "$(grep -c 'Renderer plug-in failed to start' "$work/cache/seafold/Ogre.log")" = 3 ] ||
        fail "without its render system: not three tries"
    ;;

no-display)
    # A display number no X server here uses (a screen of a running one would
    # make the X library print an authorisation line of its own).
    free=1999
    while [ -e "/tmp/.X11-unix/X$free" ] || [ -e "/tmp/.X$free-lock" ]; do free=$((free + 1)); done
    for display in unset ":$free"; do
        if [ "$display" = unset ]; then
            env -u DISPLAY "$seafold" server 127.0.0.1:"$(free_port)" >out.txt 2>err.txt
        else
            DISPLAY=$display "$seafold" server 127.0.0.1:"$(free_port)" >out.txt 2>err.txt
        fi
        status=$?
        cat err.txt
        [ $status -eq 1 ] || fail "DISPLAY $display: exit code $status, expected 1"
        [ "$(wc -l < err.txt)" -eq 1 ] || fail "DISPLAY $display: expected exactly one line"
        grep -q "seafold-headless" err.txt || fail "DISPLAY $display: the line does not name seafold-headless"
        [ -s out.txt ] && fail "DISPLAY $display: unexpected standard output"
    done
    ;;

overlap)
    write_config
    mkdir -p server alice bob
    for d in server alice bob; do cp ogre.cfg $d/; done
    # Inside the X server: a server and two clients whose windows open at the
    # same place at once (there is no window manager to place them), so they
    # cover each other while they start. What they report in their event
    # logs says when each is drawing and connected; each wait is bounded
    # (60 looks, at most 20 s).
    cat > overlap.sh <<'SH'
#!/usr/bin/env bash
# seen FILE REGEX: until a line of FILE matches.
seen() {
    local deadline=$(($(date +%s) + 20))
    for _ in $(seq 1 60); do
        grep -qE "$2" "$1" 2>/dev/null && return 0
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.3
    done
    return 1
}
run() { # NAME ARGS...
    local name=$1
    shift
    (cd "$name" && XDG_CONFIG_HOME="$PWD/config" SEAFOLD_EVENT_LOG=events.log exec "$seafold" "$@" >out.txt 2>err.txt) &
}
seafold=$1
run server server 127.0.0.1:$2
server=$!
seen server/events.log '"window"' || echo "server: no window"
run alice -client 127.0.0.1:$2 alice
alice=$!
run bob -client 127.0.0.1:$2 bob
bob=$!
for who in alice bob; do
    seen $who/events.log '"window"' || echo "$who: no window"
    seen $who/events.log '"state": "connected"' || echo "$who: not connected"
done
# Covered windows go on drawing: each People panel, refreshed in the frame
# loop, comes to list the others.
seen server/events.log '"people": .*alice.*bob|"people": .*bob.*alice' || echo "server: frames stopped"
seen alice/events.log '"people": .*bob' || echo "alice: frames stopped"
seen bob/events.log '"people": .*alice' || echo "bob: frames stopped"
alive=""
for p in $server $alice $bob; do kill -0 $p 2>/dev/null && alive="$alive up" || alive="$alive down"; done
kill $server $alice $bob 2>/dev/null
wait
echo "alive:$alive"
SH
    chmod +x overlap.sh
    result=$(timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" ./overlap.sh "$seafold" "$(free_port)")
    cat server/err.txt alice/err.txt bob/err.txt
    [ "$result" = "alive: up up up" ] || fail "expected server, alice and bob running, got '$result'"
    grep -q "An exception has occured" server/err.txt alice/err.txt bob/err.txt && fail "renderer error"
    ;;

config-dialog)
    # From a folder without a saved configuration the shipped default is used:
    # the window opens without a click, and nothing is written to the folder.
    rm -f ogre.cfg
    run_windowed out.txt err.txt SEAFOLD_SCREENSHOT_AFTER_FRAMES=5 SEAFOLD_SCREENSHOT_PATH="$work/default.png"
    status=$?
    cat err.txt
    [ $status -eq 0 ] || fail "no saved configuration: exit code $status, expected 0"
    [ -s default.png ] || fail "no saved configuration: no window was drawn"
    [ ! -e ogre.cfg ] || fail "no saved configuration: a configuration was saved"
    echo "no saved configuration: the shipped default opened the window"

    # Inside the X server: start the program, wait for its dialog, press the
    # leftmost of its two buttons (Cancel), and report the exit code.
    cat > cancel.sh <<'SH'
#!/usr/bin/env bash
"$1" server 127.0.0.1:$2 >out.txt 2>err.txt &
pid=$!
dialog=$(timeout 30 xdotool search --sync --name "Rendering Settings" | head -n 1)
[ -n "$dialog" ] || { kill $pid; echo "no dialog"; exit 3; }
# The dialog's buttons are its 56x17 children; Cancel is the left one. They
# may be mapped a little after the dialog: looked for until both are there
# (at most 50 looks, 10 s).
find_cancel() {
    cancel=""
    local best=100000 count=0 w geometry x y
    for w in $(xdotool search --onlyvisible --name "" 2>/dev/null); do
        geometry=$(xdotool getwindowgeometry "$w" 2>/dev/null)
        case $geometry in *"Geometry: 56x17"*) ;; *) continue ;; esac
        count=$((count + 1))
        x=$(sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\1/p' <<<"$geometry")
        y=$(sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\2/p' <<<"$geometry")
        if [ "$x" -lt "$best" ]; then best=$x; cancel="$((x + 28)) $((y + 8))"; fi
    done
    [ "$count" -ge 2 ]
}
deadline=$(($(date +%s) + 10))
for _ in $(seq 1 50); do
    find_cancel && break
    [ "$(date +%s)" -ge "$deadline" ] && break
    sleep 0.2
done
[ -n "$cancel" ] || { kill $pid; echo "no buttons"; exit 3; }
xdotool mousemove $cancel click 1
wait $pid
echo "exit $?"
SH
    chmod +x cancel.sh
    for variant in without-saved asked-for; do
        rm -f ogre.cfg
        [ $variant = asked-for ] && write_config
        result=$(SEAFOLD_CONFIG_DIALOG=1 timeout 90 xvfb-run -a -s "-screen 0 1024x768x24" ./cancel.sh "$seafold" \
            "$(free_port)")
        cat err.txt
        [ "$result" = "exit 1" ] || fail "$variant: expected exit 1 after Cancel, got: $result"
        [ $variant = asked-for ] || [ ! -e ogre.cfg ] || fail "$variant: Cancel saved a configuration"
        echo "SEAFOLD_CONFIG_DIALOG=1, $variant: dialog cancelled, exit 1"
    done
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
