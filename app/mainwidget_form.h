#pragma once

class QDoubleSpinBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QScrollArea;
class QTableWidget;
class QToolButton;
class QWidget;

// The controls of the main window, named as the operator-facing form names them.
struct MainWidgetForm {
    QLabel* label = nullptr;  // logo
    QLabel* label_5 = nullptr;  // title
    QToolButton* toolButton_9 = nullptr;  // minimise
    QToolButton* toolButton = nullptr;  // exit
    QLabel* label_2 = nullptr;
    QLineEdit* lineEdit_2 = nullptr;  // raw-image directory
    QToolButton* toolButton_2 = nullptr;
    QLabel* label_3 = nullptr;
    QLineEdit* lineEdit_3 = nullptr;  // result directory
    QToolButton* toolButton_3 = nullptr;
    QGroupBox* groupBox = nullptr;
    QToolButton* toolButton_4 = nullptr;  // add panel images
    QToolButton* toolButton_5 = nullptr;  // delete panel images
    QRadioButton* radioButton_commonCorrectGroup = nullptr;
    QRadioButton* radioButton_everyCorrectGroup = nullptr;
    QFrame* frame_correctRadSeparator = nullptr;
    QRadioButton* radioButton_rad = nullptr;
    QRadioButton* radioButton_ref = nullptr;
    QTableWidget* tableWidget = nullptr;
    QWidget* widget = nullptr;  // reflectance grid
    QLabel* label_4 = nullptr;
    QLabel* label_7 = nullptr;
    QLabel* label_31 = nullptr;
    QLabel* label_32 = nullptr;
    QLabel* label_33 = nullptr;
    QLabel* label_34 = nullptr;
    QLabel* label_35 = nullptr;
    QLabel* label_36 = nullptr;
    QDoubleSpinBox* doubleSpinBox_1 = nullptr;
    QDoubleSpinBox* doubleSpinBox_2 = nullptr;
    QDoubleSpinBox* doubleSpinBox_3 = nullptr;
    QDoubleSpinBox* doubleSpinBox_4 = nullptr;
    QDoubleSpinBox* doubleSpinBox_5 = nullptr;
    QDoubleSpinBox* doubleSpinBox_6 = nullptr;
    QWidget* widget_2 = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* label_currentProcessContent = nullptr;
    QToolButton* toolButton_7 = nullptr;  // process
    QToolButton* toolButton_8 = nullptr;  // cancel
    QScrollArea* scrollArea = nullptr;
    QWidget* scrollAreaWidgetContents = nullptr;

    // Builds every control and layout into `window`.
    void setupUi(QWidget* window);
};
