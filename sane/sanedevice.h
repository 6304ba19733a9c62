#ifndef VELLOSCAN_SANEDEVICE_H
#define VELLOSCAN_SANEDEVICE_H

#include "optiontable.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <sane/sane.h>

#include <memory>
#include <optional>

struct SaneBinding;

// What became of a value the page asked for: the option name and every
// diagnostic line ("velloscan: ..."), joined by "\n", without a final one.
// A value the device rounded to a nearby one is reported the same way.
struct OptionRefusal {
    QString name;
    QString reason;
};

// An open SANE device; closing it is the destructor's work. Made by
// SaneScan::OpenDevice. Used by one thread at a time, except Cancel.
class SaneDevice
{
public:
    ~SaneDevice();
    SaneDevice(const SaneDevice &) = delete;
    SaneDevice &operator=(const SaneDevice &) = delete;

    // As read when the device was opened.
    OptionTable GetAllOptions() const { return m_options; }
    // The option's value as the device holds it now, in the same text form;
    // "" for an unknown or inactive option or one that cannot be read.
    QString CurrentValue(const QString &name);
    // Sets one option from its text form. Says nothing itself: whatever is
    // wrong comes back for the caller to log, and the value is set as far as
    // it could be parsed, so one bad value never stops a scan.
    std::optional<OptionRefusal> SetOption(const QString &name, const QString &value);

    // What the page loop needs. Every call answers 12 (or does nothing)
    // once the library was shut down.
    bool IsLive() const;
    int Start();
    int GetParameters(SANE_Parameters &parameters);
    int Read(unsigned char *buffer, int maxLength, int &length);
    // From any thread, also while another one is inside Read.
    void Cancel();
    QString StatusText(int status) const;
    // The "resolution" option in whole dpi; 0 when there is none.
    int Resolution();

private:
    friend class SaneScan;
    SaneDevice(std::shared_ptr<SaneBinding> binding, SANE_Handle handle);

    void readOptions();
    void recordOption(int index, const SANE_Option_Descriptor *d);
    QString readValue(int index, const SANE_Option_Descriptor *d);
    void setWords(int index, void *value, QStringList &notes);

    std::shared_ptr<SaneBinding> m_binding;
    SANE_Handle m_handle;
    QHash<int, QString> m_optionNames;
    OptionTable m_options;
};

#endif
