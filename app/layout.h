#pragma once

#include <array>
#include <string_view>

// The window's design, one row a control, in tab-index order (the focus chain follows the
// order of creation): name, the Qt class it is or derives from, its container ("frmMain" for
// the window itself), left, top, width and height in twips from the container's top-left
// corner, and caption (a list's initial text). frmMain builds itself from this table and
// the tests hold the window to it.
struct LayoutRow
{
    const char *name;
    const char *kind;
    const char *container;
    int left;
    int top;
    int width;
    int height;
    const char *caption;
};

inline constexpr std::array<LayoutRow, 35> kLayout = {{
    {"Frame1", "QGroupBox", "frmMain", 120, 120, 2895, 3015, "Communication Settings"},
    {"cmbBaud", "QComboBox", "Frame1", 1200, 360, 1335, 315, "Combo1"},
    {"Label1", "QLabel", "Frame1", 120, 360, 975, 255, "Baud Rate:"},
    {"Label2", "QLabel", "Frame1", 120, 840, 975, 255, "Parity:"},
    {"cmbPar", "QComboBox", "Frame1", 1200, 840, 1335, 315, "Combo1"},
    {"cmbBits", "QComboBox", "Frame1", 1200, 1320, 1335, 315, "Combo1"},
    {"Label3", "QLabel", "Frame1", 120, 1320, 855, 255, "Data Bits:"},
    {"Label4", "QLabel", "Frame1", 120, 1800, 735, 255, "Port:"},
    {"cmbPort", "QComboBox", "Frame1", 1200, 1800, 1335, 315, "Combo1"},
    {"cmdConnect", "QPushButton", "Frame1", 1200, 2280, 1335, 375, "Connect"},
    {"shpPort", "Shape", "Frame1", 240, 2280, 615, 255, ""},
    {"lblSettings", "QLabel", "Frame1", 240, 2640, 2295, 255, ""},
    {"Frame2", "QGroupBox", "frmMain", 3240, 120, 9135, 2175, "Modify"},
    {"Frame3", "QGroupBox", "Frame2", 240, 240, 5655, 1815, "New Comm Settings"},
    {"cmbNewBaud", "QComboBox", "Frame3", 1320, 360, 1335, 315, "Combo1"},
    {"Label5", "QLabel", "Frame3", 240, 360, 975, 255, "Baud Rate:"},
    {"cmbNewPar", "QComboBox", "Frame3", 1320, 840, 1335, 315, "Combo1"},
    {"Label6", "QLabel", "Frame3", 240, 840, 975, 255, "Parity:"},
    {"cmbNewBits", "QComboBox", "Frame3", 1320, 1320, 1335, 315, "Combo1"},
    {"Label7", "QLabel", "Frame3", 240, 1320, 855, 255, "Data Bits:"},
    {"cmdModifyComm", "QPushButton", "Frame3", 3360, 1320, 1455, 375, "Modify"},
    {"cmbSA", "QComboBox", "Frame3", 4320, 360, 1095, 315, "Combo1"},
    {"Label8", "QLabel", "Frame3", 3000, 360, 1215, 255, "Slave Address:"},
    {"cmbMod", "QComboBox", "Frame3", 4320, 840, 1095, 315, "Combo1"},
    {"Label9", "QLabel", "Frame3", 3000, 840, 975, 255, "MODBUS:"},
    {"Frame4", "QGroupBox", "Frame2", 6000, 240, 2895, 1815, "Set Display Blocks"},
    {"Label10", "QLabel", "Frame4", 240, 360, 1575, 255, "Block No./Reg. No."},
    {"cmbBlock", "QComboBox", "Frame4", 1920, 360, 735, 315, "Combo1"},
    {"Label11", "QLabel", "Frame4", 240, 720, 1215, 255, "DataType:"},
    {"cmbDT", "QComboBox", "Frame4", 1440, 720, 1215, 315, "Combo1"},
    {"Label12", "QLabel", "Frame4", 240, 1080, 1095, 255, "Decimal Point:"},
    {"cmbDP", "QComboBox", "Frame4", 1680, 1080, 975, 315, "Combo1"},
    {"cmdGet", "QPushButton", "Frame4", 480, 1440, 735, 255, "GET"},
    {"cmdSet", "QPushButton", "Frame4", 1560, 1440, 735, 255, "SET"},
    {"Image1", "QLabel", "frmMain", 9720, 2280, 2625, 930, ""},
}};

// The row of the control `name`; the table holds every control frmMain makes.
constexpr const LayoutRow &layoutRow(std::string_view name)
{
    for (const LayoutRow &row : kLayout) {
        if (name == row.name)
            return row;
    }
    return kLayout.front();
}
