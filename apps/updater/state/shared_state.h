#pragma once
// The process-wide flags and values that the window thread and the workers share. Each is a
// whole value read and written in one step: flags are bytes holding 0 or 1, numbers are
// 32-bit, texts are owned copies. No ordering between different variables is relied upon,
// except between bootloaderThreadActive and continuationDeferred (sequentially consistent, the
// atomics' default: the worker's end and a device's return never both miss the continuation).

#include "shared_text.h"

#include <atomic>
#include <cstdint>

using Flag = std::atomic<uint8_t>;
using SharedInt = std::atomic<int32_t>;

// Device identity as last read (or chosen for a recovery).
extern SharedInt GRawDevID;   // 99 at start
extern SharedInt GNormDevID;  // 99 at start
extern SharedInt gcbn;        // build to flash: 60 Japanese; -99 standard, dlv set to 0; 0 standard, dlv kept

// Update flow
extern Flag reverseUpgrade;
extern SharedInt NRFV;             // wireless build read from the device; 0 = not read (or devices changed)
extern SharedInt targetNrfVersion; // 1031039 at start
extern Flag nrfCheckBypass;
extern Flag versionMatches;
extern Flag nrfMatches;
extern Flag ishf; // the scan took the running device for its information read; cleared at a scan or failure
extern Flag jbl;  // a scan began programming a device in its flash bootloader; cleared on arrival or failure
extern Flag ADF;  // a normal update's image is written and the reset runs: the offer's button stays hidden
extern Flag updateActive;
extern Flag updateThreadActive;
extern Flag bootloaderThreadActive; // a bootloader worker programs the device now
extern Flag continuationDeferred;   // the device came back before that worker finished
extern Flag scanInProgress;
extern Flag factoryResetActive;
extern Flag languagePackActive;
extern Flag languagePacksPending; // a Japanese device's packs are due once it is back from its wireless update

// Recovery
extern Flag recoveryDialogActive;
extern SharedInt recoveryDeviceType; // -99 at start
extern SharedInt recoveryVariant;    // -99 at start
extern SharedInt modelOverride;      // -1 at start
extern Flag exitOnButton;

// Rider's data and drive
extern Flag backupHeld;
extern Flag resetBeforeNordic;
extern Flag flashIncomplete; // a programming of the application did not finish: not up to date
extern SharedInt currentPid;
extern std::atomic<uint16_t> bootloaderVid; // 0x15A2 at start
extern std::atomic<uint16_t> bootloaderPid;
extern SharedText gpsDrivePath; // root of the device's drive; empty = not found

// Window
extern SharedText statusText;
extern SharedText statusDetail;
extern SharedInt flashLogCount;
extern Flag logWindowHidden; // 1 at start

// Sets a flag that guards a worker: true when this call set it, false when it was already set.
inline bool claimFlag(Flag& flag) { return flag.exchange(1) == 0; }
inline bool isSet(const Flag& flag) { return flag.load() != 0; }

// Puts every value back to its start value (tests; the program itself never resets them).
void resetSharedState();
