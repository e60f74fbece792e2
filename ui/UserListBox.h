#pragma once

#include "core/UserLists.h"

#include <QListWidget>

// A single-selection list box of user lines: a QListWidget that the user lists can fill.
class UserListBox final : public QListWidget, public UserListView {
    Q_OBJECT

public:
    explicit UserListBox(QWidget* parent = nullptr);

    bool IsVisible() const override;
    int Count() const override { return count(); }
    int SelectedIndex() const override;
    int TopIndex() const override;
    void Clear() override { clear(); }
    void AddLine(const QString& line) override { addItem(line); }
    void Select(int index) override { setCurrentRow(index); }
    void ScrollToTop(int index) override;
    void SetTip(int index, const QString& tip) override {
        if (QListWidgetItem* line = item(index))
            line->setToolTip(tip);
    }
};
