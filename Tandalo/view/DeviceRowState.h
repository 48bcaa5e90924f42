#pragma once

#include "Tandalo/view/ModelState.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::view {

/// The line under a device's name.
enum class RowStatus {
    none,
    ejectNote, // why the last eject failed, in orange
    battery,   // the level with its battery symbol
    failure,   // the failure message, in red
    mounting,  // a spinner and "Mounting…"
    ejecting,  // a spinner and "Ejecting…"
};

/// The buttons a device row offers, in the order they stand.
enum class RowButton {
    showInFinder, // a round folder button
    eject,        // a round eject button
    takeOver,     // "Take Over": mount, taking the device from the application that holds it
    chooseFolder, // "Choose Folder…": there is no mount folder yet
    mount,        // "Mount"
};

/// Everything one device row shows. A plain value: a row is redrawn only when it changes.
struct DeviceRowState {
    std::string id;
    std::string name;
    bool isMounted = false; // the phone symbol is drawn in the primary colour
    RowStatus status = RowStatus::none;
    std::string statusText;    // the note, the failure message or the battery level ("87%"), verbatim
    std::string batterySymbol; // with RowStatus::battery
    std::vector<RowButton> buttons;

    bool operator==(const DeviceRowState&) const = default;
};

/// A phone attached in charge-only mode: its name, whether it said so through USB debugging, and how its
/// maker's phones switch to file transfer.
struct WaitingRowState {
    std::uint64_t id = 0;
    std::string name;
    bool hasADB = false;
    std::string hint;

    bool operator==(const WaitingRowState&) const = default;
};

/// The name a device goes by in every window: its product, vendor and serial cleaned up.
std::string deviceName(const app::DeviceEntry& entry);

DeviceRowState deviceRowState(const app::DeviceEntry& entry, const ModelState& model);
WaitingRowState waitingRowState(const corvane::AndroidCandidate& candidate);

/// The symbol of a battery level: "battery.100" above 87, "battery.75" above 62, "battery.50" above 37,
/// "battery.0" below 13, else "battery.25".
std::string_view batterySymbol(int level);

} // namespace tandalo::view
