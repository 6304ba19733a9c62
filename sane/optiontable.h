#ifndef VELLOSCAN_OPTIONTABLE_H
#define VELLOSCAN_OPTIONTABLE_H

#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

// Bounds of a range constraint, kept as the text the page is shown.
struct SaneScan_Range {
    QString min;
    QString max;
    QString quant; // empty when the backend's step is 0
};

// One scanner option as read at open time; every value is text.
struct Opt_Result {
    QString name;
    int type = 0;        // SANE_Value_Type
    int constType = 0;   // SANE_Constraint_Type
    bool isActive = true;
    bool isSettable = true;
    QString unit;
    SaneScan_Range range;
    QVector<double> wordlists;
    QList<QString> list;
    QString current;
};

using OptionTable = QHash<QString, Opt_Result>;

// The service's own status beside the SANE ones: no device list, or the named
// device is not in it, or no device is open.
constexpr int SaneStatusNoDevice = 12;

#endif
