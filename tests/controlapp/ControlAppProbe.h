#pragma once
// The control application with its state in view, for the tests.
#include "controlapp/ControlApp.h"
#include "device/OSXDeviceManager.h"

namespace controlapptest {

class Probe : public ControlApp {
public:
    using ControlApp::changedMask;
    using ControlApp::current;
    using ControlApp::deviceListChanged;
    using ControlApp::deviceManager;
    using ControlApp::latencyActive;
    using ControlApp::latencyFrames;
    using ControlApp::latencyInChannels;
    using ControlApp::latencyMaxFrames;
    using ControlApp::latencyOutChannels;
    using ControlApp::levelCaptureOn;
    using ControlApp::levels;
    using ControlApp::thruOn;
    using ControlApp::toneLength;
    using ControlApp::tonePlaying;
    using ControlApp::tonePosition;
    using ControlApp::toneSamples;
    using ControlApp::latencyDone;
    using ControlApp::levelTimer;
    using ControlApp::driverUpdateTimer;

    // Only the test's own ticks from now on, so that each one can be looked at.
    void stopRedrawTimer() { removeTimer(redrawTimer); }
};

} // namespace controlapptest
