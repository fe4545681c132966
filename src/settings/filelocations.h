#pragma once

#include <QString>

// Where this copy of the program keeps its files. A copy whose program
// folder the user may write (a portable bundle, a build folder) keeps
// everything there, beside the executable. An installed copy, whose folder
// the user may not write, keeps the settings file and the com<N> port links
// in the user's configuration folder ($XDG_CONFIG_HOME/tarnel, on Windows
// the local application data folder) and logs by default into the user's
// documents folder.
struct FileLocations
{
    QString configDir;      // tarnel.ini and the com<N> links
    QString defaultLogPath; // shown with the platform's separators

    // Everything in one folder, as for a program folder the user may write.
    static FileLocations inOneFolder(const QString &folder);

    // The rule: decided by the one fact whether the user may write programDir.
    // Nothing is created here.
    static FileLocations forProgram(const QString &programDir);
    static FileLocations forProgram(const QString &programDir, bool programDirWritable);

    // Create the configuration folder and the default log's folder when they
    // do not exist yet.
    bool makeConfigDir() const;
    bool makeDefaultLogDir() const;
};
