// commandids.h - command ids of menus, accelerators and menus built on the
// fly. Every QAction that stands for a command carries its id in
// QAction::data(); one dispatch maps ids to handlers.
#pragma once

namespace vellumo {

enum CommandId : int {
    ID_CMD_OPEN = 32771,
    ID_CMD_ABOUT = 32773,
    ID_CMD_CHECK_UPDATES = 32774,
    ID_CMD_COPY = 32775,
    ID_CMD_SAVE_AS = 32776,
    ID_CMD_ZOOM_IN = 32803,
    ID_CMD_ZOOM_OUT = 32804,
    ID_CMD_ZOOM_FIT = 32807,
    ID_ACC_ZOOM_IN = 33000,
    ID_ACC_ZOOM_OUT = 33001,
    ID_ACC_COPY = 33004,
    ID_RECENT_FILE_BASE = 34000,
    ID_RECENT_FILE_LAST = 34020,
    ID_HELP = 57670,
};

// Image context menu (built afresh for each right click).
enum ImageMenuId : int {
    IDM_IMAGE_COPY = 1,
    IDM_IMAGE_SAVE_BMP = 3,
    IDM_IMAGE_SAVE_PNG = 4,
    IDM_IMAGE_SAVE_PGM = 5,
};

// Window and control ids.
enum ControlId : int {
    IDD_ABOUT_DIALOG = 100,
    IDD_MAIN_DIALOG = 102,
    IDD_UPDATE_DIALOG = 205,
    IDC_IMAGE_VIEW = 4005,
    IDC_STATUS_BAR = 32500,
};

} // namespace vellumo
