// Changes to the device's tree: creating folders and files, edits in place, removing, renaming, moving,
// and keeping the caches truthful after each of them.

#include "Corvane/filesystem/MTPFileSystem.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPReader.h"
#include "Corvane/wire/PTPWriter.h"
#include "platform/foundation/Unicode.h"

#include <algorithm>

namespace corvane {

namespace {

/// Runs one change inside an edit session of its own. The end edit is sent even when the change fails,
/// so the object is not left open on the device; the change's error is the one the caller sees then.
template <typename Change>
void changeInEditSession(MTPDevice::Session& session, std::uint32_t handle, Change&& change) {
    session.beginEdit(handle);
    try {
        std::forward<Change>(change)();
    } catch (...) {
        try {
            session.endEdit(handle);
        } catch (...) {
            // Deliberately dropped: the change's failure is what the caller must hear about.
        }
        throw;
    }
    session.endEdit(handle);
}

} // namespace

// Creating

MTPObject MTPFileSystem::createDirectory(std::string_view at) {
    ParentAndName split = parentAndName(at);
    const DirectoryKey key = folderOf(split.parent, at);
    return createDirectory(key.storage, key.parent, split.name);
}

MTPObject MTPFileSystem::createDirectory(std::uint32_t storage, std::uint32_t parent, std::string_view name) {
    const DirectoryKey key{storage, parent};
    if (child(storage, parent, name)) {
        throw PTPError::alreadyExists(std::string(name));
    }
    const std::uint32_t handle = m_device->hold()->createFolder(storage, parent, name);
    folderChanged(key);
    return object(handle);
}

MTPObject MTPFileSystem::createFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                    std::optional<TimePoint> modified) {
    const DirectoryKey key{storage, parent};
    if (child(storage, parent, name)) {
        throw PTPError::alreadyExists(std::string(name));
    }
    const std::uint32_t handle = sendObject(key, name, 0, modified, DataPhase::send({}));
    folderChanged(key);
    return object(handle);
}

MTPObject MTPFileSystem::createFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                    std::span<const std::byte> contents, std::optional<TimePoint> modified,
                                    const std::optional<MTPObject>& replacing) {
    const DirectoryKey key{storage, parent};
    // Only the cache is asked: the caller flushes a file it wrote in memory, and a listing just for this
    // check would cost a transaction on every flush.
    const std::optional<MTPObject> existing = replacing ? replacing : cachedChild(key, name);
    if (existing && existing->isDirectory()) {
        throw PTPError::alreadyExists(std::string(name));
    }
    const ContentSource source = [contents] { return DataPhase::send(contents); };
    const PartialFile sent =
        sendPartial(key, name, contents.size(), modified, source, existing, Completion::now);
    return completeSent(sent, source);
}

MTPFileSystem::PartialFile MTPFileSystem::createPartialFile(std::uint32_t storage, std::uint32_t parent,
                                                            std::string_view name,
                                                            std::span<const std::byte> contents,
                                                            std::optional<TimePoint> modified,
                                                            const std::optional<MTPObject>& replacing) {
    if (replacing && replacing->isDirectory()) {
        throw PTPError::alreadyExists(std::string(name));
    }
    return sendPartial(
        {storage, parent}, name, contents.size(), modified, [contents] { return DataPhase::send(contents); },
        replacing, Completion::later);
}

MTPObject MTPFileSystem::completeFile(const PartialFile& file) {
    return completeSent(file, nullptr);
}

// Editing in place

void MTPFileSystem::requireSupport(PTPOperation operation) const {
    m_device->requireOperation(operation);
}

void MTPFileSystem::truncate(const MTPObject& object, std::uint64_t size) {
    requireSupport(PTPOperation::androidTruncateObject);
    m_device->exclusive([&](MTPDevice::Session& session) {
        changeInEditSession(session, object.handle(), [&] { session.truncate(object.handle(), size); });
    });
    invalidate(object);
}

void MTPFileSystem::write(const MTPObject& object, std::uint64_t offset, std::span<const std::byte> data) {
    requireSupport(PTPOperation::androidSendPartialObject);
    m_device->exclusive([&](MTPDevice::Session& session) {
        changeInEditSession(session, object.handle(),
                            [&] { session.writePartial(object.handle(), offset, data); });
    });
    invalidate(object);
}

void MTPFileSystem::beginEdit(const MTPObject& object) {
    requireSupport(PTPOperation::androidSendPartialObject);
    m_device->hold()->beginEdit(object.handle());
}

void MTPFileSystem::writeOpen(const MTPObject& object, std::uint64_t offset,
                              std::span<const std::byte> data) {
    m_device->hold()->writePartial(object.handle(), offset, data);
}

void MTPFileSystem::truncateOpen(const MTPObject& object, std::uint64_t size) {
    m_device->hold()->truncate(object.handle(), size);
}

void MTPFileSystem::endEdit(const MTPObject& object) {
    m_device->hold()->endEdit(object.handle());
    invalidate(object);
}

// Removing, renaming and moving

void MTPFileSystem::remove(const MTPObject& object) {
    m_device->hold()->deleteObject(object.handle());
    invalidate(object);
}

void MTPFileSystem::remove(std::string_view at) {
    const Node node = lookup(at);
    if (node.kind() != Node::Kind::object) {
        throw PTPError::invalidPath(std::string(at));
    }
    remove(node.object());
}

void MTPFileSystem::rename(const MTPObject& object, std::string_view to) {
    m_device->hold()->rename(object.handle(), to);
    invalidate(object);
}

bool MTPFileSystem::canSetModified(std::uint16_t format) {
    const std::optional<bool> known = m_state.withLock([&](const State& state) -> std::optional<bool> {
        const auto found = state.settableDates.find(format);
        return found == state.settableDates.end() ? std::nullopt : std::optional(found->second);
    });
    if (known) {
        return *known;
    }
    const std::optional<DeviceInfo> info = m_device->info();
    bool settable = false;
    if (!info || (info->supports(PTPOperation::getObjectPropDesc) &&
                  info->supports(PTPOperation::setObjectPropValue))) {
        try {
            // The description starts with the property's code (16 bits), its data type (16 bits) and
            // whether it may be set (8 bits: 1 for get and set).
            const MTPDevice::Response response = m_device->hold()->transaction(
                PTPOperation::getObjectPropDesc, {MTPObjectProperty::dateModified, format},
                DataPhase::receive(4096));
            PTPReader reader(response.data);
            const std::uint16_t property = reader.u16();
            reader.u16();
            settable = property == MTPObjectProperty::dateModified && reader.u8() == 1;
        } catch (const PTPError& error) {
            // A device that refuses to describe the property, or describes it badly, is not trusted to
            // keep it. Anything else (a busy device, a failing link) says nothing, and is asked again.
            const bool answered = (error.kind() == PTPError::Kind::responseError &&
                                   error.responseCode() != PTPResponseCode::deviceBusy) ||
                                  error.kind() == PTPError::Kind::truncatedData;
            if (!answered) {
                throw;
            }
        }
    }
    m_state.withLock([&](State& state) { state.settableDates.insert_or_assign(format, settable); });
    return settable;
}

void MTPFileSystem::setModified(const MTPObject& object, TimePoint date) {
    if (!canSetModified(object.format())) {
        throw PTPError::notSupported(PTPOperation::setObjectPropValue);
    }
    PTPWriter writer;
    writer.string(MTPDate::format(date));
    m_device->hold()->transaction(PTPOperation::setObjectPropValue,
                                  {object.handle(), MTPObjectProperty::dateModified},
                                  DataPhase::send(writer.data()));
    invalidate(object);
}

bool MTPFileSystem::refusesRenames() const {
    const std::optional<DeviceInfo> info = m_device->info();
    if (info && !info->supports(PTPOperation::setObjectPropValue)) {
        return true;
    }
    return m_state.withLock([](const State& state) { return state.renames == Renames::refused; });
}

void MTPFileSystem::move(const MTPObject& object, std::uint32_t toStorage, std::uint32_t parent) {
    m_device->hold()->moveObject(object.handle(), toStorage, parent);
    m_state.withLock([&](State& state) {
        invalidateIn(state, object);
        dropFolder(state, {toStorage, parent});
        ++state.generation;
    });
}

void MTPFileSystem::move(const MTPObject& object, std::string_view toDirectory) {
    const Node node = lookup(toDirectory);
    const DirectoryKey key = folderOf(node, toDirectory);
    move(object, key.storage, key.parent);
}

MTPObject MTPFileSystem::place(const MTPObject& object, std::uint32_t storage, std::uint32_t parent,
                               std::string_view name, const std::optional<MTPObject>& replacing) {
    const DirectoryKey destination{storage, parent};
    const bool moves = !(folderKeyOf(object) == destination);
    MTPObject latest = object;
    if (!replacing) {
        if (moves) {
            move(latest, storage, parent);
            latest = this->object(latest.handle());
        }
        if (latest.name() != name) {
            rename(latest, name);
            latest = this->object(latest.handle());
        }
        return latest;
    }
    // The replaced file goes only once this one lies beside it, under a name of its own: the last step is
    // a rename, which a device that renames at all does not refuse after the first.
    if (refusesRenames()) {
        throw PTPError::notSupported(PTPOperation::setObjectPropValue);
    }
    const std::string temporary = temporaryNameIn(destination, name, "replacing");
    if (const std::exception_ptr refused = renameLearning(latest, temporary)) {
        std::rethrow_exception(refused);
    }
    latest = this->object(latest.handle());
    const auto undo = [&](bool moved) {
        try {
            if (moved) {
                move(latest, object.storageID(), folderKeyOf(object).parent);
            }
            rename(this->object(latest.handle()), object.name());
        } catch (...) {
            // Deliberately dropped: the failure that made the undo necessary is what the caller must hear.
        }
    };
    if (moves) {
        try {
            move(latest, storage, parent);
        } catch (...) {
            undo(false);
            throw;
        }
        latest = this->object(latest.handle());
    }
    try {
        deleteIfThere(*replacing);
    } catch (...) {
        undo(moves);
        throw;
    }
    if (const std::exception_ptr refused = renameLearning(latest, name)) {
        std::rethrow_exception(refused);
    }
    return this->object(latest.handle());
}

MTPFileSystem::ParentAndName MTPFileSystem::parentAndName(std::string_view of) {
    std::vector<std::string> parts = components(of);
    if (parts.empty()) {
        throw PTPError::invalidPath(std::string(of));
    }
    std::string name = std::move(parts.back());
    parts.pop_back();
    std::string parentPath = "/";
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index != 0) {
            parentPath += '/';
        }
        parentPath += parts[index];
    }
    return {lookup(parentPath), std::move(name)};
}

} // namespace corvane
