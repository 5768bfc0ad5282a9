// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QToolBar;
class QToolButton;
class QWidget;

namespace quillbox::ui {

// The buttons of the main toolbar, in their order.
enum class Command { Sieve, Stop, Logging, About };

// The main window's controls, placed where its fixed layout puts them. Every
// control carries an object name by its role ("sourceField", "stopButton",
// "processedValue", ...), by which tests and tools find it.
struct MainForm {
    QGroupBox* optionsFrame = nullptr;
    QLineEdit* sourceField = nullptr;
    QLineEdit* destinationField = nullptr;
    QAction* pickSourceAction = nullptr;
    QToolButton* sourceButton = nullptr;
    QAction* pickDestinationAction = nullptr;
    QToolButton* destinationButton = nullptr;
    QRadioButton* copyOption = nullptr;
    QRadioButton* moveOption = nullptr;
    QCheckBox* createFoldersBox = nullptr;
    QCheckBox* viewLogBox = nullptr;

    QGroupBox* statisticsFrame = nullptr;
    QLabel* fileProgressValue = nullptr;
    QLabel* currentFileValue = nullptr;
    QLabel* processedValue = nullptr;
    QProgressBar* progressBar = nullptr;

    QToolBar* commandBar = nullptr;
    QAction* sieveAction = nullptr;
    QAction* stopAction = nullptr;
    QAction* loggingAction = nullptr;
    QAction* aboutAction = nullptr;

    QAction* action(Command command) const;
    QToolButton* button(Command command) const;
};

// Builds the controls into `window`, in the tab order the window keeps.
MainForm BuildMainForm(QWidget* window);

} // namespace quillbox::ui
