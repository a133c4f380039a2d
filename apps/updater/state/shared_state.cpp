#include "shared_state.h"

#include "app_callbacks.h"
#include "device_models.h"

SharedInt GRawDevID{99};
SharedInt GNormDevID{99};
SharedInt gcbn{0};

Flag reverseUpgrade{0};
SharedInt NRFV{0};
SharedInt targetNrfVersion{1031039};
Flag nrfCheckBypass{0};
Flag versionMatches{0};
Flag nrfMatches{0};
Flag ishf{0};
Flag jbl{0};
Flag ADF{0};
Flag updateActive{0};
Flag updateThreadActive{0};
Flag bootloaderThreadActive{0};
Flag continuationDeferred{0};
Flag scanInProgress{0};
Flag factoryResetActive{0};
Flag languagePackActive{0};
Flag languagePacksPending{0};

Flag recoveryDialogActive{0};
SharedInt recoveryDeviceType{-99};
SharedInt recoveryVariant{kStandardChoice};
SharedInt modelOverride{-1};
Flag exitOnButton{0};

Flag backupHeld{0};
Flag resetBeforeNordic{0};
Flag flashIncomplete{0};
SharedInt currentPid{0};
std::atomic<uint16_t> bootloaderVid{0x15A2};
std::atomic<uint16_t> bootloaderPid{0};
SharedText gpsDrivePath{""};

SharedText statusText{""};
SharedText statusDetail{""};
SharedInt flashLogCount{0};
Flag logWindowHidden{1};

void resetSharedState()
{
    GRawDevID = 99;
    GNormDevID = 99;
    gcbn = 0;
    for (Flag* f : {&reverseUpgrade, &nrfCheckBypass, &versionMatches, &nrfMatches, &ishf, &jbl, &ADF, &updateActive,
             &updateThreadActive, &bootloaderThreadActive, &continuationDeferred, &scanInProgress, &factoryResetActive, &languagePackActive, &languagePacksPending,
             &recoveryDialogActive, &exitOnButton, &backupHeld, &resetBeforeNordic, &flashIncomplete})
        f->store(0);
    NRFV = 0;
    targetNrfVersion = 1031039;
    recoveryDeviceType = -99;
    recoveryVariant = kStandardChoice;
    modelOverride = -1;
    currentPid = 0;
    bootloaderVid = 0x15A2;
    bootloaderPid = 0;
    gpsDrivePath.set("");
    statusText.set("");
    statusDetail.set("");
    flashLogCount = 0;
    logWindowHidden = 1;
    changeRecord(deviceInfo, [](DeviceInfo& record) { record = DeviceInfo{}; });
    appCallbacks.currentDevice.store(nullptr);
}
