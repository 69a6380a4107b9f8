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
    FileCondition condition;
    QString why;
    const std::shared_ptr<QSettings> file = detail::openForRead(fileName, &condition, &why);
    return detail::wavelengthLists(file.get());
}

std::array<QStringList, 3> detail::wavelengthLists(QSettings* file) {
    std::array<QStringList, 3> lists;
    for (int c = 0; c < kChannels; ++c) {
        lists[c] << fixedWavelength(c);
        if (!file)
            continue;
        file->beginGroup(wavelengthListSection(c));
        lists[c] << file->childKeys();
        file->endGroup();
    }
    return lists;
}

WriteResult addWavelength(const QString& fileName, int channel, const QString& text,
                          bool asNewFile) {
    if (!isStorableWavelength(text)) {
        WriteResult refused;
        refused.notices << Notice{Notice::Kind::Warning, QStringLiteral("Invalid wavelength"),
                                  QLatin1Char('"') + text +
                                      QStringLiteral("\" cannot be used as a wavelength:\n- "
                                                     "it must not be empty and must not "
                                                     "contain '/' or '\\'.")};
        return refused;
    }
    return writeCalibration(
        fileName, {{wavelengthListSection(channel) + QLatin1Char('/') + text, true}}, asNewFile);
}

} // namespace lumetra::calibration
