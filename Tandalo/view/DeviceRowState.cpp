#include "Tandalo/view/DeviceRowState.h"

#include "Corvane/usb/DeviceName.h"

namespace tandalo::view {

namespace {

void describeMounted(DeviceRowState& row, const ModelState& model) {
    row.buttons = {RowButton::showInFinder, RowButton::eject};
    if (const auto note = model.ejectNotes.find(row.id); note != model.ejectNotes.end()) {
        row.status = RowStatus::ejectNote;
        row.statusText = note->second;
    } else if (const auto level = model.batteryLevels.find(row.id); level != model.batteryLevels.end()) {
        row.status = RowStatus::battery;
        row.statusText = std::to_string(level->second) + "%";
        row.batterySymbol = batterySymbol(level->second);
    }
}

RowButton mountButton(const std::string& id, const ModelState& model) {
    // A holder is named whether or not a folder exists: taking the device over is what the user must do
    // first, and the mount then asks for the folder itself.
    if (model.holders.contains(id)) {
        return RowButton::takeOver;
    }
    return model.mountFolder ? RowButton::mount : RowButton::chooseFolder;
}

} // namespace

std::string deviceName(const app::DeviceEntry& entry) {
    const auto& descriptor = entry.descriptor;
    return corvane::DeviceName::clean(descriptor.productName, descriptor.vendorName, descriptor.serialNumber);
}

DeviceRowState deviceRowState(const app::DeviceEntry& entry, const ModelState& model) {
    DeviceRowState row;
    row.id = entry.id();
    row.name = deviceName(entry);
    row.isMounted = entry.state.isMounted();
    if (row.isMounted) {
        describeMounted(row, model);
    } else if (const auto* message = entry.state.failureMessage()) {
        row.status = RowStatus::failure;
        row.statusText = *message;
        row.buttons = {mountButton(row.id, model)};
    } else if (entry.state.isUnmounted()) {
        row.buttons = {mountButton(row.id, model)};
    } else {
        // A device on its way out says so: telling the user it mounts while it is being ejected would have
        // them wait for a folder that is going away.
        row.status = entry.state.isUnmounting() ? RowStatus::ejecting : RowStatus::mounting;
    }
    return row;
}

WaitingRowState waitingRowState(const corvane::AndroidCandidate& candidate) {
    return {.id = candidate.id(),
            .name = candidate.displayName(),
            .hasADB = candidate.hasADB,
            .hint = candidate.fileTransferHint()};
}

std::string_view batterySymbol(int level) {
    if (level > 87) {
        return "battery.100";
    }
    if (level > 62) {
        return "battery.75";
    }
    if (level > 37) {
        return "battery.50";
    }
    if (level < 13) {
        return "battery.0";
    }
    return "battery.25";
}

} // namespace tandalo::view
