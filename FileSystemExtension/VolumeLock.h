#pragma once

namespace tandalo {

/// Proof that the caller holds a volume's one lock: only AndroidVolume makes it, inside its locked
/// sections, and the item fields that the lock guards can only be reached through it. It cannot be copied
/// or stored, so the proof ends with the locked section.
class VolumeLock {
public:
    VolumeLock(const VolumeLock&) = delete;
    VolumeLock& operator=(const VolumeLock&) = delete;

private:
    friend class AndroidVolume;
    VolumeLock() = default;
};

} // namespace tandalo
