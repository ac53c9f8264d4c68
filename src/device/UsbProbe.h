#pragma once
// Why no phone answers adb, as Windows' list of USB devices tells it: a phone
// plugged in without its driver, or one in fastboot mode.
#include <string>
#include <vector>

namespace mirq {

// One present USB device as SetupAPI describes it.
struct UsbDevice {
    std::wstring instanceId;
    std::vector<std::wstring> hardwareIds, compatibleIds;
    std::wstring service;            // empty: no driver installed
    unsigned long configFlags = 0;   // CONFIGFLAG_FAILEDINSTALL marks a failed install
    unsigned long problem = 0;       // the device's problem code (0: none known)
};

enum class UsbPhoneState { NoneSeen, DriverMissing, Fastboot };

struct UsbFinding {
    UsbPhoneState state = UsbPhoneState::NoneSeen;
    std::wstring maker;  // a phone maker's name, else 未知厂商
    std::wstring vidPid; // "USB\VID_xxxx&PID_xxxx"
};

// An ADB interface without a driver first, then a fastboot interface, then a
// phone maker's device without a driver (no service, a failed install, or
// the problem code of a missing or failed driver: 1, 10, 18, 28).
UsbFinding ClassifyUsbDevices(const std::vector<UsbDevice>& devices);

// The present USB devices (SetupAPI); empty when Windows does not tell.
std::vector<UsbDevice> ListUsbDevices();

}  // namespace mirq
