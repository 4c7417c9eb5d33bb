#pragma once

#include <QStringList>

#include <vector>

// Owns a C-style argument vector for code that reads argc/argv.
class TestArgs
{
public:
    explicit TestArgs(const QStringList& arguments);

    int& argc() { return m_argc; }
    char** argv() { return m_pointers.data(); }

private:
    std::vector<QByteArray> m_storage;
    std::vector<char*> m_pointers;
    int m_argc = 0;
};
