#pragma once

#include <QString>

#include <functional>

// The colouring settings of one alarm system, from "greening.ini" in its
// alarm folder. Keys that are missing are written back with their defaults,
// so that the file shows every setting after the first start.
struct colouringSettings
{
    bool enabled = false;
    // 0 none, 1 greening, 2 redding: the automatic run at start-up.
    int initialMode = 0;
    // Length of the automatic run, s.
    int runLength = 0;
    // Interval at which an operator's run is renewed, s.
    int greeningLoop = defaultLoop;
    int reddingLoop = defaultLoop;

    static constexpr int defaultLoop = 30;
    // Length of the automatic run at start when the file does not say, s.
    static constexpr int defaultRunLength = 300;
    // Characters of a text value read from the file.
    static constexpr qsizetype maxTextLength = 255;

    static QString fileName() { return QStringLiteral("greening.ini"); }
};

// Reads alarmFolder + "/greening.ini" (a missing file reads as empty and is
// created by the write-backs); `debug` receives the lines that say what was
// found.
colouringSettings loadColouringSettings(const QString &alarmFolder,
                                        const std::function<void(const QString &)> &debug = {});
