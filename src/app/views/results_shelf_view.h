// The collapsible panel above every screen that lists each folder of the
// session with its status: a click activates, the cross removes, "Clear
// All" drops everything.
#pragma once

#include "scan_result_state.h"
#include "view_style.h"

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <functional>

class ResultShelfRow : public CardFrame {
public:
    explicit ResultShelfRow(QWidget *parent = nullptr);
    void setResult(const ScanResultState &result, bool isActive, SizeMeasure measure = SizeMeasure::allocated);
    void setOnActivate(std::function<void()> f) { onActivate_ = std::move(f); }
    void setOnRemove(std::function<void()> f) { onRemove_ = std::move(f); }

    const QUuid &resultID() const { return id_; }
    const QString &rootPath() const { return path_; }
    bool isActive() const { return active_; }
    ShrinkingLabel *nameLabel() const { return name_; }
    ShrinkingLabel *statusLabel() const { return status_; }
    // The folder the root lies in, shown (dimmer) when another result has
    // the same name; empty hides it.
    void setParentPath(const QString &path);
    ShrinkingLabel *parentLabel() const { return parent_; }
    bool showsActivity() const { return !spinner_->isHidden(); }
    QPushButton *removeButton() const { return remove_; }

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QUuid id_;
    QString path_;
    bool active_ = false;
    QWidget *dot_ = nullptr;
    ShrinkingLabel *name_ = nullptr;
    ShrinkingLabel *status_ = nullptr;
    ShrinkingLabel *parent_ = nullptr;
    QWidget *spinner_ = nullptr;
    QPushButton *remove_ = nullptr;
    std::function<void()> onActivate_;
    std::function<void()> onRemove_;
};

class ResultsShelfView : public CardFrame {
public:
    explicit ResultsShelfView(QWidget *parent = nullptr);

    void setResults(const QList<ScanResultState> &results, const std::optional<QUuid> &activeResultID);
    void setOnActivate(std::function<void(const QUuid &)> f) { onActivate_ = std::move(f); }
    void setOnRemove(std::function<void(const QUuid &)> f) { onRemove_ = std::move(f); }
    void setOnClearAll(std::function<void()> f) { onClearAll_ = std::move(f); }
    void setOnSave(std::function<void()> f) { onSave_ = std::move(f); }
    // "Save Scan…" acts on the active result, when it can be saved.
    void setSaveEnabled(bool enabled);

    bool isExpanded() const { return expanded_; }
    void setExpanded(bool expanded);

    static QString statusText(const ScanResultState &result, SizeMeasure measure = SizeMeasure::allocated);
    void setSizeMeasure(SizeMeasure measure) { measure_ = measure; }
    // The folder's last path component; the whole path for the volume root.
    static QString displayName(const ScanResultState &result);

    QPushButton *expandButton() const { return expand_; }
    QLabel *countLabel() const { return count_; }
    ShrinkingLabel *activeNameLabel() const { return activeName_; }
    QPushButton *clearAllButton() const { return clearAll_; }
    QPushButton *saveButton() const { return save_; }
    QList<ResultShelfRow *> rows() const { return rows_; }

private:
    bool expanded_ = true;
    QVBoxLayout *headerMargins_ = nullptr;
    QPushButton *expand_ = nullptr;
    QLabel *count_ = nullptr;
    ShrinkingLabel *activeName_ = nullptr;
    QPushButton *clearAll_ = nullptr;
    QPushButton *save_ = nullptr;
    QWidget *rowsPanel_ = nullptr;
    QScrollArea *rowsScroll_ = nullptr;
    QVBoxLayout *rowsLayout_ = nullptr;
    QList<ResultShelfRow *> rows_;
    std::optional<QUuid> inSight_; // the active row last scrolled into view
    SizeMeasure measure_ = SizeMeasure::allocated;
    std::function<void(const QUuid &)> onActivate_;
    std::function<void(const QUuid &)> onRemove_;
    std::function<void()> onClearAll_;
    std::function<void()> onSave_;
};
