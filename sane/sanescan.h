#ifndef VELLOSCAN_SANESCAN_H
#define VELLOSCAN_SANESCAN_H

#include "signalguard.h"

#include <QByteArray>
#include <QHash>
#include <QLibrary>
#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

#include <sane/sane.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

class PageWriter;
struct tiff;
typedef struct tiff TIFF;

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

class SaneScan : public QObject
{
    Q_OBJECT
public:
    explicit SaneScan(QObject *parent = nullptr);
    ~SaneScan() override;

    void Init();
    void Exit();
    bool IsLoaded() const { return m_loaded; }

    int GetDeviceList(QVector<QString> &names);
    int OpenDevice(const QString &device);
    void CloseDevice();
    void CancelScan();

    OptionTable GetAllOptions() const { return m_options; }

    // Sets one option of the open device from its text form. Problems are
    // reported on standard error only, as the page learns nothing of them.
    void SetOption(const QString &name, const QString &value);

    // Scans sheet after sheet into files named pathPrefix + number + "." +
    // format, announcing each finished file; returns one SANE status for the
    // whole job (0 when the feeder ran empty after at least one page).
    int Scan(const QString &pathPrefix, const QString &format, int firstNumber, int minDigits, bool flatbed);
    // For the process's end, from any thread: no further sheet is started and
    // the page in progress is cancelled. There is no way back.
    void RequestStop();

    // The value syntax of numeric options, which needs nothing but the
    // option's descriptor. parse_vector fills all n words from `text`;
    // parse_scalar reads one number and its unit and returns where the text
    // goes on, or null on a unit the option does not allow. Problems are
    // said on standard error.
    static void parse_vector(const SANE_Option_Descriptor *d, const char *text, SANE_Word *words, SANE_Int n);
    static const char *parse_scalar(const SANE_Option_Descriptor *d, const char *text, SANE_Word *word);

signals:
    void sglScanOneImageDone(QString imgPath);
    void sglScanAllImageDone();

private:
    bool init_sane();
    SANE_Status get_devices();
    SANE_Status open_device(const SANE_Device *device);
    int start_scan();
    void cancel_scan();
    void close_device();
    void exit_sane();

    void init_options();
    void format_option(int index, const SANE_Option_Descriptor *d);
    static QString format_unit(SANE_Unit unit);
    int get_resolution();

    void inner_set_option(int index, void *value);

    int scanimage(const QString &prefix);
    int start_sheet();
    QByteArray page_path(const QByteArray &prefix, const QByteArray &extension) const;
    static int guess_output_format(const QByteArray &path);
    int scan_stdio_page(const QByteArray &part);
    int scan_tiff_page(const QByteArray &part);
    int inner_scan(std::FILE *file);
    int inner_scan_to_tiff(TIFF *tiff, int resolution);
    int scan_frames(PageWriter &writer, int linesPerRead);

    int m_linesPerRead = 200;

    // The entry table: every SANE call goes through these.
    struct Api {
        decltype(&::sane_init) init = nullptr;
        decltype(&::sane_exit) exit = nullptr;
        decltype(&::sane_open) open = nullptr;
        decltype(&::sane_close) close = nullptr;
        decltype(&::sane_start) start = nullptr;
        decltype(&::sane_cancel) cancel = nullptr;
        decltype(&::sane_get_devices) get_devices = nullptr;
        decltype(&::sane_control_option) control_option = nullptr;
        decltype(&::sane_get_option_descriptor) get_option_descriptor = nullptr;
        decltype(&::sane_strstatus) strstatus = nullptr;
        decltype(&::sane_get_parameters) get_parameters = nullptr;
        decltype(&::sane_read) read = nullptr;
    } m_api;
    bool m_loaded = false;   // library loaded, every entry resolved and sane_init called
    bool m_exited = false;

    QLibrary m_library;
    const SANE_Device **m_saneDevices = nullptr;
    // Read by RequestStop on another thread; m_handleLock keeps a close from
    // freeing the handle while that cancel is using it.
    std::atomic<SANE_Handle> m_device{nullptr};
    std::mutex m_handleLock;
    std::atomic<bool> m_stopRequested{false};
    SignalGuard m_signalGuard;
    QHash<int, QString> m_optionNames;
    OptionTable m_options;
    std::unique_ptr<unsigned char[]> m_buffer;
    size_t m_bufferSize = 0;
    int m_pageNumber = 1;
    int m_outputFormat = 1;
    int m_resolution = 0;
    QString m_imageFormat;
    int m_pageDigits = 4;
    bool m_isFlatbed = false;
};

#endif
