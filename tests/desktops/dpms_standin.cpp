// A display power extension for Xvfb, which has none: xfce4-power-manager and
// mate-power-manager abort on a display without it. Preloaded into those daemons only; it
// answers as a display that is on and accepts every request.
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

extern "C" {

Bool DPMSQueryExtension(Display*, int* event_base, int* error_base) {
    *event_base = 0;
    *error_base = 0;
    return True;
}

Status DPMSGetVersion(Display*, int* major, int* minor) {
    *major = 1;
    *minor = 1;
    return 1;
}

Bool DPMSCapable(Display*) {
    return True;
}

Status DPMSInfo(Display*, CARD16* level, BOOL* enabled) {
    *level = DPMSModeOn;
    *enabled = True;
    return 1;
}

Status DPMSGetTimeouts(Display*, CARD16* standby, CARD16* suspend, CARD16* off) {
    *standby = *suspend = *off = 0;
    return 1;
}

Status DPMSSetTimeouts(Display*, CARD16, CARD16, CARD16) {
    return 1;
}

Status DPMSEnable(Display*) {
    return 1;
}

Status DPMSDisable(Display*) {
    return 1;
}

Status DPMSForceLevel(Display*, CARD16) {
    return 1;
}

}  // extern "C"
