// The resource script's ids (resource.h, plain macros for the resource
// compiler) are the toolkit-free layer's constants: checked here at compile
// time, so that the two can never drift apart.
#include "dialogs/CalDialog.h"
#include "dialogs/FrameController.h"
#include "dialogs/ListingDialog.h"
#include "dialogs/ReadBackDialog.h"
#include "dialogs/UpdateDialog.h"
#include "session/MainFrame.h"
#include "wingui/Ids.h"

// clang-format off
#define DUXK_RESOURCE_IDS(X) \
    X(IDR_MAINFRAME) \
    X(IDD_ABOUTBOX) \
    X(IDD_UPDATE) \
    X(IDD_LISTING) \
    X(IDD_CALIBRATION) \
    X(IDD_READBACK) \
    X(IDC_UPDATE_FILE) \
    X(IDC_UPDATE_BROWSE) \
    X(IDC_UPDATE_DOWNLOAD) \
    X(IDC_UPDATE_ERASE) \
    X(IDC_UPDATE_PROGRAM) \
    X(IDC_UPDATE_EXECUTE) \
    X(IDC_UPDATE_STATUS) \
    X(IDC_LISTING_AGAIN) \
    X(IDC_LISTING_TEXT) \
    X(IDC_CAL_FILE) \
    X(IDC_CAL_BROWSE) \
    X(IDC_CAL_SAVE) \
    X(IDC_CAL_LOAD) \
    X(IDC_CAL_PROGRESS) \
    X(IDC_READBACK_FILE) \
    X(IDC_READBACK_BROWSE) \
    X(IDC_READBACK_DOWNLOAD) \
    X(IDC_READBACK_EXECUTE) \
    X(IDC_READBACK_STATUS) \
    X(IDC_READBACK_READ) \
    X(IDC_READBACK_READ_LABEL) \
    X(IDC_READBACK_FILE_LABEL) \
    X(ID_SENSOR_SPECIFICATION) \
    X(ID_SENSOR_SETTINGS) \
    X(ID_SENSOR_SELFTEST) \
    X(ID_SENSOR_CALDATA) \
    X(ID_SENSOR_UPDATE) \
    X(ID_SENSOR_VIEWCAL) \
    X(ID_SENSOR_BACKUP) \
    X(ID_SENSOR_VERIFY) \
    X(ID_APP_ABOUT) \
    X(ID_APP_EXIT) \
    X(ID_FILE_NEW) \
    X(ID_FILE_OPEN) \
    X(ID_FILE_SAVE) \
    X(AFX_IDW_STATUS_BAR) \
    X(AFX_IDW_PANE_FIRST)
// clang-format on

// The constants' values, taken before the macros of the same names exist.
namespace layer {
#define DUXK_CAPTURE(name) constexpr int name##_value = name;
DUXK_RESOURCE_IDS(DUXK_CAPTURE)
}  // namespace layer

#include "wingui/resource.h"

#define DUXK_COMPARE(name) static_assert(layer::name##_value == (name), #name " differs in resource.h");
DUXK_RESOURCE_IDS(DUXK_COMPARE)
