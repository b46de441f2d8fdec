// "Save As Special": the save-file dialog of Save Special with its options
// panel (Selection, Events, Client Server, Text Format).
#pragma once

#include <QFileDialog>

#include "export/HistoryExport.h"

class QAbstractButton;
class QCheckBox;

class CSaveSpecialDlg : public QFileDialog {
    Q_OBJECT
public:
    // The dialog reads and writes the options directly: a radio sets its
    // member when clicked, the check boxes are read back when clicked and
    // when the dialog closes, and the chosen path is stored on OK.
    CSaveSpecialDlg(QWidget* pParent, SaveSpecialOptions& options);

    void done(int nResult) override;

    // The control of an options panel id (tests reach the panel through it).
    QAbstractButton* Control(UINT nID) const;

protected:
    // A name with wildcards is a pattern, not a file to write: it is not
    // accepted (the dialog's initial name is such a pattern).
    void accept() override;

private:
    void ReadCheckBoxes();

    SaveSpecialOptions& m_options;
    QCheckBox* m_pDirection;
    QCheckBox* m_pDate;
    QCheckBox* m_pHost;
    QCheckBox* m_pAction;
};

// Registers the dialog under IDD_SAVE_SPECIAL; pData is a SaveSpecialOptions.
void RegisterExportDialogs();
