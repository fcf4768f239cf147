// Preferences: how the window scans (file systems, what is left out) and
// how it shows sizes. The dialog edits a copy; the caller saves and applies.
#pragma once

#include "window_preferences.h"

#include <QDialog>
#include <QPushButton>

class QCheckBox;
class QComboBox;
class QPlainTextEdit;

class PreferencesDialog : public QDialog {
public:
    explicit PreferencesDialog(const WindowPreferences &current, QWidget *parent = nullptr);

    WindowPreferences chosen() const;

    QCheckBox *oneFileSystemBox() const { return oneFileSystem_; }
    QCheckBox *cachesBox() const { return caches_; }
    QPlainTextEdit *patternsField() const { return patterns_; }
    QComboBox *sizeShownBox() const { return sizeShown_; }
    QComboBox *unitsBox() const { return units_; }
    QCheckBox *keepHistoryBox() const { return keepHistory_; }
    QPushButton *clearHistoryButton() const { return clearHistory_; }

private:
    QCheckBox *oneFileSystem_ = nullptr;
    QCheckBox *caches_ = nullptr;
    QPlainTextEdit *patterns_ = nullptr;
    QComboBox *sizeShown_ = nullptr;
    QComboBox *units_ = nullptr;
    QCheckBox *keepHistory_ = nullptr;
    class QSpinBox *perFolder_ = nullptr, *historyMiB_ = nullptr;
    QPushButton *clearHistory_ = nullptr;
};
