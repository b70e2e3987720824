#pragma once

#include "WavFile.h"

#include <QString>
#include <QVector>

// One recorder's take of the microphone, measured from a little after its first sound to just
// before its end: per channel the level, the steady pitch, the broken periods and the gaps.
struct TakeMeasure
{
    // A 1 kHz tone of amplitude 0.5 (or 0.35, a centre channel mixed down at -3 dB) at 48 kHz
    // moves by 1500 or more per sample near its zero crossings, so at most two samples in a row
    // are within this of zero: a run of them longer than a millisecond, dropoutsMs's least, is
    // a gap of more than one period. Well above zero, it also catches a gap that only fades.
    static constexpr double kGapThreshold = 1000;

    struct Channel
    {
        ToneMeasure tone; // frequencyHz from steadyPitch
        int breaks = 0;
        QVector<double> gapsMs;
    };

    // Loads and measures a recording from `skipSeconds` after its first sound; false with
    // *error when it is not a WAV file or holds less than minSeconds of sound after the skip.
    bool load(const QString &path, double skipSeconds, double minSeconds, QString *error);

    // Gaps and broken periods in the channel that has most: what interrupts the tone (a cut
    // of the microphone is in both of its channels).
    int interruptions() const;
    QString describe() const;

    QString name;
    int sampleRate = 0;
    double onsetSeconds = -1; // the first sound
    double seconds = 0;       // the stretch measured
    QVector<Channel> channels;
};
