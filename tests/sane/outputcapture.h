// Redirects a stream (standard error unless told) into a file for its
// lifetime: what the code under test printed, for tests to compare.
#ifndef VELLOSCAN_TEST_OUTPUTCAPTURE_H
#define VELLOSCAN_TEST_OUTPUTCAPTURE_H

#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

class OutputCapture
{
public:
    explicit OutputCapture(std::FILE *stream = stderr) : m_stream(stream), m_fd(::fileno(stream))
    {
        m_file.open();
        std::fflush(m_stream);
        m_saved = ::dup(m_fd);
        ::dup2(m_file.handle(), m_fd);
    }
    ~OutputCapture() { restore(); }
    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(m_stream);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        m_saved = -1;
    }
    std::FILE *m_stream;
    int m_fd;
    QTemporaryFile m_file;
    int m_saved = -1;
};

#endif
