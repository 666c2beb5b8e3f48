// Checks every configuration file of a media folder with the checks that loading
// them makes (OutputConfig, the GPIO manager's entry check, the pin registry, the
// settings store, the command presets, the overlay manager, the sequence reader),
// and lists every problem, each naming its file, entry and key: for
// `tavod --check-config`, and at start-up for what loading alone would only skip.
#pragma once

#include <string>
#include <vector>

class PluginLoader;

class ConfigCheck {
public:
    // `mediaDir` is the folder tavod runs on (it must be the host's media folder,
    // setTavoMediaDir, for the checkers that look there).
    explicit ConfigCheck(const std::string& mediaDir);

    // Every file: settings.json, channeloutputs.json (against the plug-ins of
    // `loader`), pins.json, gpio.json, commandPresets.json and the sequences its
    // presets name, model-overlays.json. Loads settings, pins, presets and models into
    // the host as it goes: for a process that checks, then ends.
    void CheckAll(const PluginLoader& loader);
    // What start-up does not check while loading: the values of the settings it
    // knows and the sequences the presets name. (Start-up loads the model overlays
    // itself, and a wrong file stops it.)
    void CheckAtStartup();

    void CheckSettingsFile();  // the file, loaded into the settings store
    void CheckSettingValues(); // the values of settings tavod knows, as they stand
    // Each output's own check of its keys (its CheckConfig, which opens no device).
    void CheckOutputs(const PluginLoader& loader);
    void CheckPins();          // loads the pins
    void CheckGPIOInputs();    // after CheckPins: named pins must exist
    void CheckPresets();       // and the sequences they start
    void CheckModelOverlays(); // loads them into the host's overlay manager
    void CheckBridge();        // bridge.json, as start-up reads it
    // Every playlist of playlists/ (entries, nested playlists, the sequences they
    // play) and schedule.json (its times and days, the playlists it names).
    void CheckPlaylists();
    void CheckSchedule();
    // One sequence of sequences/: there, readable, and playable.
    void CheckSequence(const std::string& name, const std::string& where);

    const std::vector<std::string>& Problems() const { return m_problems; }
    // The files looked at and the sequences checked, for the summary.
    const std::vector<std::string>& Checked() const { return m_checked; }

private:
    std::string file(const std::string& name) const; // config/NAME in the media folder
    // `logged`: the checker that found it logged it already.
    void problem(const std::string& text, bool logged = false);

    std::string m_mediaDir;
    std::vector<std::string> m_problems;
    std::vector<std::string> m_checked;
};
