#pragma once

#include <QRect>
#include <QStringList>
#include <QWidget>

// What is wrong with the placing of a window's controls (its direct children): one that
// leaves the client area, one off the forms' 8-pixel grid, two that overlap. The forms were
// laid out in twips, so neighbours may share their edge pixel and the last control may pass
// the edge by one; `overlaps` names the pairs ("a+b") that may overlap further, because one
// stands in front of the other or they are never shown together. Empty when all is well.
inline QStringList LayoutFaults(const QWidget& window, const QStringList& overlaps = {}) {
    const QList<QWidget*> controls = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    const auto name = [](const QWidget* c) {
        return !c->objectName().isEmpty()                  ? c->objectName()
               : !c->property("text").toString().isEmpty() ? c->property("text").toString()
                                                           : QString(c->metaObject()->className());
    };
    const QRect client = window.rect().adjusted(0, 0, 1, 1);
    QStringList faults;
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QRect r = controls[i]->geometry();
        if (!client.contains(r))
            faults << name(controls[i]) + " leaves the window";
        if (r.x() % 8 != 0 || r.y() % 8 != 0)
            faults << name(controls[i]) + " is off the grid";
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            const QRect both = r.intersected(controls[j]->geometry());
            const QString pair = name(controls[i]) + "+" + name(controls[j]);
            const QString reversed = name(controls[j]) + "+" + name(controls[i]);
            if (both.width() > 1 && both.height() > 1 && !overlaps.contains(pair) &&
                !overlaps.contains(reversed))
                faults << pair + " overlap";
        }
    }
    return faults;
}
