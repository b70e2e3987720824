#pragma once

// The program-wide style sheet, set on the application at start-up. Tests that look at what the
// user sees set it too.
inline constexpr char kProgramStyleSheet[] =
    "MainWindow { background-color: #050F15; }QDialog {background-color: #050F15;border:4px "
    "solid lightgray;}QStatusBar {background-color:transparent; color:white;font-weight: "
    "bold;}QStatusBar::item {border:none;}QLabel {font-size:13px; color: white;}QCheckBox "
    "{font-size:13px;color: white;}QToolBar {border:none;}QGroupBox "
    "{background-color: #0E2B47;border:1px solid #34383A;}QComboBox {background:#262626;color: "
    "#EA700C; selection-background-color:#262626; selection-color: #EA700C; } QSpinBox "
    "{background:#262626;color:#EA700C; border:none; selection-background-color:#262626; "
    "selection-color: #EA700C; }QDoubleSpinBox {background:#262626;color:#EA700C; border:none; "
    "selection-background-color:#262626; selection-color: #EA700C; }QLineEdit "
    "{font-size:14px; background: black; border:none; color: #EA700C;}ZoomQRW {background-color: "
    "#0E2B47;}#lblRTMP "
    "{font-size:14px;}QCheckBox::indicator{background:#262626;color:#FFFFFF; "
    "}QCheckBox::indicator:checked{background:#EA700C;color:#FFFFFF;}QPushButton:checked{"
    "background:none;border:none;padding:0;margin:0;}";
