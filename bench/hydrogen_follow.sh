#!/bin/bash
# Hydrogen following Tempovane as JACK timebase master: does a real drum machine play at our
# tempo? On a private JACK server the headless program leads the transport (--transport master)
# at 131 BPM and then, a second program run on the same server, at 174 BPM; Hydrogen (the GUI
# program, under xvfb-run, with a configuration of its own: JACK audio, JACK transport, JACK
# timebase support on, JACK-MIDI) plays a one-bar song saved at 115 BPM with a kick on every
# beat, and sends a note-on for every kick it plays. A small recorder (bench/hydrogen_follow.py;
# jackd2's jack_midi_dump stops at Hydrogen's events) takes Hydrogen's notes and our MIDI clock
# on one time line (JACK frames), so that the figures are:
#   - Hydrogen's tempo: a straight line fitted through its note-ons' frames (beats 60 s apart at
#     the most), in BPM, against ours; more than 0.01 BPM apart, or no notes, fails the run;
#   - the phase: each note-on against our clock's nearest quarter note (the tick 24 * n after
#     Start), in frames (Hydrogen's own lookahead and MIDI queue move it: reported, not judged).
# Needs hydrogen (1.2) and xvfb-run: bench-time dependencies only, not in CI.
#   bench/hydrogen_follow.sh [build dir]                 jackd2, then PipeWire's JACK
#   PRIVATE_JACK_KIND=jackd bench/hydrogen_follow.sh     one of them (jackd or pipewire)
#   SECONDS_PER_TEMPO=40 (default) sets how long each tempo is measured.
# Logs go to /tmp/tempovane-hydrogen.*; the figures are printed at the end. Exit status 0 when
# Hydrogen followed both tempos on every server tried.
set -u
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${PRIVATE_JACK_KIND:-}" ]; then
    status=0
    for kind in jackd pipewire; do
        echo "=== $kind"
        PRIVATE_JACK_KIND=$kind "$0" "$build" || status=1
    done
    exit "$status"
fi
for tool in hydrogen xvfb-run; do
    command -v "$tool" >/dev/null || { echo "hydrogen_follow: $tool is missing" >&2; exit 1; }
done
seconds=${SECONDS_PER_TEMPO:-40}
tempos=(${TEMPOS:-131 174})
song_bpm=115

source "$here/../tools/private_jack.sh"
logs=$(mktemp -d "/tmp/tempovane-hydrogen.$PRIVATE_JACK_KIND.XXXXXX")
ours=""
hydrogen_group=""
cleanup() {
    [ -n "$ours" ] && kill -TERM "$ours" 2>/dev/null && wait "$ours" 2>/dev/null
    # Hydrogen, its crash-guard parent, xvfb-run and Xvfb: a process group of their own.
    stop_hydrogen
    stop_started
    private_jack_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Real-time where this user may have it: the dummy driver's late wakes would be xruns that move
# JACK's frames against its time line.
private_jack_start tempovane-hydrogen "$logs/server.log" realtime || { echo "no JACK server came up" >&2; exit 1; }

# Hydrogen's home: its configuration, the song, and whatever it writes on the way.
home=$logs/home
mkdir -p "$home/.hydrogen" "$home/.config"
# From the configuration Hydrogen ships (the one it copies on its first run): the JACK driver,
# following JACK transport, the timebase support on (without it Hydrogen ignores every timebase
# master and plays at its song's tempo), never the master itself; MIDI through JACK; its own
# ports left unconnected; no dialog at the start.
sed -e 's|<audio_driver>[^<]*<|<audio_driver>JACK<|' \
    -e 's|<jack_transport_mode>[^<]*<|<jack_transport_mode>USE_JACK_TRANSPORT<|' \
    -e 's|<jack_timebase_enabled>[^<]*<|<jack_timebase_enabled>true<|' \
    -e 's|<jack_transport_mode_master>[^<]*<|<jack_transport_mode_master>NO_JACK_TIME_MASTER<|' \
    -e 's|<jack_connect_defaults>[^<]*<|<jack_connect_defaults>false<|' \
    -e 's|<driverName>[^<]*<|<driverName>JACK-MIDI<|' \
    -e 's|<showDevelWarning>[^<]*<|<showDevelWarning>false<|' \
    -e 's|<restoreLastSong>[^<]*<|<restoreLastSong>false<|' \
    /usr/share/hydrogen/data/hydrogen.default.conf >"$home/.hydrogen/hydrogen.conf"

# One bar of 4/4 (192 of Hydrogen's ticks, 48 a beat), a kick on every beat, looped, nothing
# humanised; the kick sends note 36 on channel 10.
notes=""
for pos in 0 48 96 144; do
    notes+="<note><position>$pos</position><leadlag>0</leadlag><velocity>0.8</velocity><pan>0</pan><pitch>0</pitch><probability>1</probability><key>C0</key><length>-1</length><instrument>0</instrument><note_off>false</note_off></note>"
done
cat >"$home/beat.h2song" <<SONG
<?xml version="1.0" encoding="UTF-8"?>
<song>
 <version>1.2.0</version>
 <bpm>$song_bpm</bpm>
 <volume>0.5</volume>
 <metronomeVolume>0.5</metronomeVolume>
 <name>Kick on every beat</name>
 <author>bench</author>
 <notes></notes>
 <license>Unknown license</license>
 <loopEnabled>true</loopEnabled>
 <patternModeMode>true</patternModeMode>
 <playbackTrackFilename></playbackTrackFilename>
 <playbackTrackEnabled>false</playbackTrackEnabled>
 <playbackTrackVolume>0</playbackTrackVolume>
 <action_mode>0</action_mode>
 <mode>song</mode>
 <pan_law_type>RATIO_STRAIGHT_POLYGONAL</pan_law_type>
 <pan_law_k_norm>1.33333</pan_law_k_norm>
 <humanize_time>0</humanize_time>
 <humanize_velocity>0</humanize_velocity>
 <swing_factor>0</swing_factor>
 <componentList>
  <drumkitComponent><id>0</id><name>Main</name><volume>1</volume></drumkitComponent>
 </componentList>
 <instrumentList>
  <instrument>
   <id>0</id>
   <name>Kick</name>
   <drumkit>GMRockKit</drumkit>
   <drumkitLookup>2</drumkitLookup>
   <volume>1</volume>
   <isMuted>false</isMuted>
   <isSoloed>false</isSoloed>
   <pan>0</pan>
   <gain>1</gain>
   <applyVelocity>true</applyVelocity>
   <filterActive>false</filterActive>
   <filterCutoff>1</filterCutoff>
   <filterResonance>0</filterResonance>
   <FX1Level>0</FX1Level><FX2Level>0</FX2Level><FX3Level>0</FX3Level><FX4Level>0</FX4Level>
   <Attack>0</Attack>
   <Decay>0</Decay>
   <Sustain>1</Sustain>
   <Release>1000</Release>
   <pitchOffset>0</pitchOffset>
   <randomPitchFactor>0</randomPitchFactor>
   <muteGroup>-1</muteGroup>
   <isStopNote>false</isStopNote>
   <sampleSelectionAlgo>VELOCITY</sampleSelectionAlgo>
   <midiOutChannel>9</midiOutChannel>
   <midiOutNote>36</midiOutNote>
   <isHihat>-1</isHihat>
   <lower_cc>0</lower_cc>
   <higher_cc>127</higher_cc>
   <instrumentComponent>
    <component_id>0</component_id>
    <gain>1</gain>
    <layer>
     <filename>Kick-Hard.wav</filename>
     <ismodified>false</ismodified>
     <smode>forward</smode>
     <startframe>0</startframe><loopframe>0</loopframe><loops>0</loops><endframe>0</endframe>
     <userubber>0</userubber><rubberdivider>1</rubberdivider><rubberCsettings>4</rubberCsettings><rubberPitch>1</rubberPitch>
     <min>0</min>
     <max>1</max>
     <gain>1</gain>
     <pitch>0</pitch>
    </layer>
   </instrumentComponent>
  </instrument>
 </instrumentList>
 <patternList>
  <pattern>
   <name>beat</name>
   <category></category>
   <size>192</size>
   <denominator>4</denominator>
   <info></info>
   <noteList>$notes</noteList>
  </pattern>
 </patternList>
 <virtualPatternList/>
 <patternSequence>
  <group><patternID>beat</patternID></group>
 </patternSequence>
 <ladspa/>
 <BPMTimeLine/>
 <timeLineTag/>
</song>
SONG

stop_hydrogen() {
    [ -n "$hydrogen_group" ] || return 0
    kill -TERM -- "-$hydrogen_group" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 -- "-$hydrogen_group" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$hydrogen_group" 2>/dev/null
    wait "$hydrogen_group" 2>/dev/null
    hydrogen_group=""
}
# Hydrogen opens its MIDI client after its audio client; on a busy machine its audio client is
# late for cycles while it loads, and the MIDI client's opening then fails ("Cannot open
# Hydrogen-midi client") and is never tried again: Hydrogen is started afresh, three times at
# the most.
for try in 1 2 3; do
    HOME=$home XDG_CONFIG_HOME=$home/.config setsid xvfb-run -a -s "-screen 0 1280x1024x24" \
        hydrogen --nosplash -V "${HYDROGEN_VERBOSE:-Warning}" -d jack -s "$home/beat.h2song" \
        >"$logs/hydrogen-$try.log" 2>&1 &
    hydrogen_group=$!
    for _ in $(seq 300); do
        jack_lsp | grep -qx Hydrogen-midi:TX && break 2
        grep -q "Cannot open Hydrogen-midi" "$logs/hydrogen-$try.log" && break
        sleep 0.1
    done
    echo "Hydrogen's MIDI client did not come up (try $try)" >&2
    stop_hydrogen
done
# Hydrogen loads the song and its samples after its ports are there.
sleep 5

# Ours: the headless program as timebase master. Per tempo a recorder of its own takes
# Hydrogen's notes and our clock on one time line; each run of ours ends with SIGTERM (it sends
# Stop and stops the transport), the next one starts the transport again.
status=0
for bpm in "${tempos[@]}"; do
    python3 "$here/hydrogen_follow.py" record hyrec notes clock >"$logs/rec-$bpm.log" 2>&1 &
    rec=$!
    started+=("$rec")
    wait_port hyrec:clock || { echo "the recorder did not come up" >&2; exit 1; }
    jack_connect Hydrogen-midi:TX hyrec:notes || { echo "cannot connect Hydrogen's MIDI output" >&2; exit 1; }
    cat >"$logs/ours-$bpm.ini" <<INI
[APPLICATION_PRESETS]
DEFAULTSPEED=$bpm
[MIDIOUTPORT1]
MIDIPORTNAME=JACK: hyrec:clock
[JACKTRANSPORT]
MODE=master
INI
    "$build/tempovane-headless" --headless "$logs/ours-$bpm.ini" --transport master --start \
        2>"$logs/ours-$bpm.log" &
    ours=$!
    sleep "$seconds"
    kill -TERM "$ours"
    wait "$ours"
    ours=""
    sleep 1
    kill -TERM "$rec"
    wait "$rec"
    python3 "$here/hydrogen_follow.py" figures "$logs/rec-$bpm.log" 48000 "$bpm" || status=1
    sleep 2
done
echo "JACK ($PRIVATE_JACK_KIND): $(grep -ci xrun "$logs/server.log") xrun lines in the server's log"
echo "logs: $logs"
exit "$status"
