#include <QtTest>
class Stub : public QObject { Q_OBJECT private slots: void none() {} };
QTEST_GUILESS_MAIN(Stub)
#include "tst_pdfrefusals.moc"
