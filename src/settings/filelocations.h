#pragma once

#include <QString>

// Where this copy of the program keeps its files. A copy whose program
// folder the user may write (a portable bundle, a build folder) keeps
// everything there, beside the executable. An installed copy keeps the
// settings file and the com<N> port links in the user's configuration
// folder ($XDG_CONFIG_HOME/tarnel, on Windows the local application data
// folder) and logs by default into the user's documents folder. A copy is
// installed when its installer put installed.txt beside it (the MSI does),
// whoever runs it, and also when the user may not write its folder.
struct FileLocations
{
    QString configDir;      // tarnel.ini and the com<N> links
    QString defaultLogPath; // shown with the platform's separators

    // Everything in one folder, as for a program folder the user may write.
    static FileLocations inOneFolder(const QString &folder);

    // The rule; nothing is created here. The second form leaves out the
    // marker file and takes the folder's writability as given.
    static FileLocations forProgram(const QString &programDir);
    static FileLocations forProgram(const QString &programDir, bool programDirWritable);

    // Create the configuration folder and the default log's folder when they
    // do not exist yet.
    bool makeConfigDir() const;
    bool makeDefaultLogDir() const;
};
