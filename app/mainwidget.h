#pragma once

#include <QPoint>
#include <QStringList>
#include <QVector>
#include <QWidget>
#include <memory>

#include "camera_info.h"
#include "mainwidget_form.h"
#include "operator_dialogs.h"
#include "panel_geometry.h"
#include "raw_scan.h"
#include "run_controller.h"

class QLabel;
class QDoubleSpinBox;
class QTableWidgetItem;
class imageWidget;

// The program's only top-level window: a frameless window with its own title bar, the directory
// pickers, the panel-image list, the run options and the progress of a run. It owns all run state.
class mainWidget : public QWidget, public RunView {
    Q_OBJECT

public:
    // `dialogs` replaces the message boxes and directory choosers (tests, batch use); null means
    // real modal dialogs.
    explicit mainWidget(QWidget* parent = nullptr, std::unique_ptr<OperatorDialogs> dialogs = nullptr);
    ~mainWidget() override;

    // Panel table: column 0 holds the image path, column 1 the status mark ("√" or "×").
    void setTableCell(int row, int column, const QString& text);
    // Enables or disables the reflectance spin boxes, the panel buttons and the four radio buttons.
    void setRunControlsEnabled(bool on) override;

    bool isRunInProgress() const { return m_runInProgress || (m_run && m_run->isRunning()); }
    void setRunInProgress(bool running) { m_runInProgress = running; }

    const RawScanResult& rawScan() const { return m_scan; }
    int bandCount() const { return m_bandCount; }
    QString rawDirectory() const { return m_rawDirectory; }
    QString resultDirectory() const { return m_resultDirectory; }
    double standardReflectance(int band) const { return m_standardReflectance.value(band); }

    // Scans an existing raw-image directory as if the operator had chosen it.
    void openRawDirectory(const QString& directory);

    RunController& runController() { return *m_run; }

    // What a run shows in the window.
    OperatorDialogs& dialogs() override { return *m_dialogs; }
    void setPhaseText(const QString& text) override;
    void setProgress(int percent) override;
    void setProgressVisible(bool visible) override;
    void setPanelViewsEnabled(bool enabled) override;
    void setStandardReflectance(int band, double value) override;
    bool confirmPanelPreviews(const QString& folder, const QStringList& panelImages) override;

public slots:
    void slotOriginalFile();
    void slotStartRegistration();
    void slotStopRegistration();
    void slotReceiveCount();
    void slotRegistrationFile();
    void slotOnSpinChanged1(double value);
    void slotOnSpinChanged2(double value);
    void slotOnSpinChanged3(double value);
    void slotOnSpinChanged4(double value);
    void slotOnSpinChanged5(double value);
    void slotOnSpinChanged6(double value);
    void soltExitApp();
    void soltMinimized();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void showBusyMessage();
    void applyScanToBandRow();
    void stopWorkerThreads();

    MainWidgetForm ui;
    std::unique_ptr<OperatorDialogs> m_dialogs;

    QList<QLabel*> m_bandLabels;
    QList<QDoubleSpinBox*> m_bandSpins;
    QVector<double> m_standardReflectance;

    QString m_rawDirectory;
    QString m_resultDirectory;
    RawScanResult m_scan;
    int m_bandCount = 0;
    int m_fileCursor = 0;

    // Defaults handed to the radiometric tasks until a panel image tells the camera.
    double m_pixelSize = 3.75;
    double m_focalLength = 5.2;

    // Panel selection state, one entry per possible panel image (three groups of six bands).
    QVector<double> m_workingReflectance;
    QVector<bool> m_regionDrawn;
    QVector<QWidget*> m_panelViews;

    std::unique_ptr<RunController> m_run;

    bool m_dragging = false;
    QPoint m_pressPosition;
    bool m_runInProgress = false;

    // Panel image list ---------------------------------------------------------------------
    // Adding and deleting panel images, their views and the outlines drawn on them
    // (defined in panel/mainwidget_panel_list.cpp).
public slots:
    void slotAddCalibration();
    void slotDeleteCalibration();
    void slotPolygon(int index, bool flag);
    void slotOnItemClicked(QTableWidgetItem* item);

public:
    // Creates, connects and shows the view of one table row (nothing when it has one).
    void createPanelView(int row);
    // The view of a table row, null when the row has none.
    imageWidget* panelView(int row) const;
    bool regionDrawn(int row) const { return m_regionDrawn.value(row, false); }
    const QStringList& panelImages() const { return m_panelImages; }
    const QStringList& panelBandLabels() const { return m_panelBandLabels; }
    int panelGroupCount() const { return m_panelGroupCount; }
    const refl::PanelCameraInfo& panelCamera() const { return m_panelCamera; }
    const QVector<PanelGeometry>& panelGeometry() const { return m_panelGeometry; }

private:
    // Removes the panel images of `rows` from the table and their views from the scroll area.
    void deletePanelRows(const QList<int>& rows);

    QStringList m_panelImages;
    QStringList m_panelBandLabels;
    int m_panelGroupCount = 0;
    refl::PanelCameraInfo m_panelCamera;
    QVector<PanelGeometry> m_panelGeometry;
    // End of panel image list --------------------------------------------------------------
};
