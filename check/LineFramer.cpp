#include "LineFramer.h"

bool LineFramer::Feed(const QByteArray& bytes, QList<QByteArray>& lines) {
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', start);
        const qsizetype end = lf < 0 ? bytes.size() : lf + 1;
        if (pending_.size() + (end - start) > limit_) {
            pending_.clear();
            return false;
        }
        pending_.append(bytes.constData() + start, end - start);
        if (lf < 0)
            break;
        lines.append(pending_);
        pending_.clear();
        start = end;
    }
    return true;
}
