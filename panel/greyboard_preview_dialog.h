#pragma once

#include <QDialog>
#include <QStringList>

class QGridLayout;
class QLabel;

// Shows the preview pictures of the automatic panel recognition, three to a row, and asks whether
// the run continues ("继续", accepted) or stops ("停止", rejected).
class GreyBoardPreviewDialog : public QDialog {
    Q_OBJECT

public:
    explicit GreyBoardPreviewDialog(QWidget* parent = nullptr);

    // Shows the previews in `folder` that belong to one of `panelImages` (file name + ".png").
    void loadPreviews(const QString& folder, const QStringList& panelImages);

    int previewCount() const { return m_cells.size(); }
    QGridLayout* grid() const { return m_grid; }
    QString statusText() const;

private:
    void clearCells();

    QGridLayout* m_grid = nullptr;
    QLabel* m_status = nullptr;
    QList<QWidget*> m_cells;
};
