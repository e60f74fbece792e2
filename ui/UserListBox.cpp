#include "UserListBox.h"

UserListBox::UserListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
}

int UserListBox::SelectedIndex() const {
    // The selected line, not the current one: a list that receives the focus makes its first
    // line current without selecting it.
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

bool UserListBox::IsVisible() const {
    // The list counts as visible while its window is: a hidden window is left alone.
    return window()->isVisible();
}

int UserListBox::TopIndex() const {
    if (count() == 0)
        return -1;
    const QModelIndex top = indexAt(QPoint(1, 1));
    return top.isValid() ? top.row() : 0;
}

void UserListBox::ScrollToTop(int index) {
    if (QListWidgetItem* line = item(index))
        scrollToItem(line, QAbstractItemView::PositionAtTop);
}
