#!/usr/bin/python3
"""A Qt main window at 60,60 that opens a modal dialog, a child of it, once
it is shown: the kiosk's tests look at where the dialog lands.  With
--frameless the main window alone, drawn without decorations (Qt asks the
window manager for none through _MOTIF_WM_HINTS)."""
import sys

from PyQt5.QtCore import QTimer, Qt
from PyQt5.QtWidgets import QApplication, QDialog, QLabel, QMainWindow, QVBoxLayout

app = QApplication(sys.argv)
main = QMainWindow()
main.setWindowTitle("velk qt main")
if "--frameless" in sys.argv:
    main.setWindowFlags(Qt.FramelessWindowHint)
main.setGeometry(60, 60, 800, 600)
main.show()
if "--frameless" not in sys.argv:
    dialog = QDialog(main)
    dialog.setWindowTitle("velk qt dialog")
    QVBoxLayout(dialog).addWidget(QLabel("a dialog over its main window"))
    dialog.resize(320, 160)
    QTimer.singleShot(0, dialog.exec_)
sys.exit(app.exec_())
