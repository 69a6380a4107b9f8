#include "CalibrationInternal.h"

#include <QSettings>

namespace lumetra::calibration {

QString fixedWavelength(int channel) {
    static const int fixed[kChannels] = {635, 520, 445};
    return QString::number(fixed[channel]);
}

QString wavelengthListSection(int channel) {
    static const char* const sections[kChannels] = {"R_Wavelengths", "G_Wavelengths",
                                                    "B_Wavelengths"};
    return QString::fromLatin1(sections[channel]);
}

QString addWavelengthTitle(int channel) {
    static const char* const letters[kChannels] = {"R", "G", "B"};
    return QStringLiteral("Enter Wavelength (") + QString::fromLatin1(letters[channel]) +
           QLatin1Char(')');
}

QString proposedWavelength(int channel) {
    static const char* const proposed[kChannels] = {"650", "515", "450"};
    return QString::fromLatin1(proposed[channel]);
}

QString addWavelengthLabel() {
    return QStringLiteral("Enter the wavelength you want");
}

std::array<QStringList, 3> readWavelengthLists(const QString& fileName) {
    std::array<QStringList, 3> lists;
    QSettings file(fileName, QSettings::IniFormat);
    for (int c = 0; c < kChannels; ++c) {
        lists[c] << fixedWavelength(c);
        file.beginGroup(wavelengthListSection(c));
        lists[c] << file.childKeys();
        file.endGroup();
    }
    return lists;
}

WriteResult addWavelength(const QString& fileName, int channel, const QString& text) {
    WriteResult result;
    if (!isStorableWavelength(text)) {
        result.notices << Notice{Notice::Kind::Warning, QStringLiteral("Invalid wavelength"),
                                 QLatin1Char('"') + text +
                                     QStringLiteral("\" cannot be used as a wavelength:\n- "
                                                    "it must not be empty and must not "
                                                    "contain '/' or '\\'.")};
        return result;
    }
    const auto file = detail::openForWrite(fileName, result.notices);
    if (!file)
        return result;
    file->beginGroup(wavelengthListSection(channel));
    file->setValue(text, true);
    file->endGroup();
    result.written = detail::flushWrite(fileName, *file, result.notices);
    return result;
}

} // namespace lumetra::calibration
