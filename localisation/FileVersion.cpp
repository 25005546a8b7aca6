#include "FileVersion.h"

#include <QFile>
#include <QSysInfo>

#include <cstring>
#include <elf.h>
#include <optional>

namespace morvane::localisation {

namespace {

struct SectionPlace {
    qint64 offset = 0;
    qint64 size = 0;
};

bool readAt(QFile& file, qint64 offset, void* buffer, qint64 size) {
    return offset >= 0 && file.seek(offset) && file.read(static_cast<char*>(buffer), size) == size;
}

// Finds a section by name in an ELF file of the given class (the machine's own byte order).
template <typename Ehdr, typename Shdr>
std::optional<SectionPlace> findSection(QFile& file, const char* wanted) {
    Ehdr header;
    if (!readAt(file, 0, &header, sizeof(header)) || header.e_shoff == 0 || header.e_shentsize != sizeof(Shdr))
        return std::nullopt;
    qint64 count = header.e_shnum;
    qint64 namesIndex = header.e_shstrndx;
    Shdr first;
    if (!readAt(file, qint64(header.e_shoff), &first, sizeof(first)))
        return std::nullopt;
    // Files with very many sections keep the true counts in the first section header.
    if (count == 0)
        count = qint64(first.sh_size);
    if (namesIndex == SHN_XINDEX)
        namesIndex = qint64(first.sh_link);
    if (count <= 0 || count > 65536 || namesIndex >= count)
        return std::nullopt;
    QByteArray table(count * qint64(sizeof(Shdr)), Qt::Uninitialized);
    if (!readAt(file, qint64(header.e_shoff), table.data(), table.size()))
        return std::nullopt;
    const auto section = [&table](qint64 i) {
        Shdr s;
        std::memcpy(&s, table.constData() + i * qint64(sizeof(Shdr)), sizeof(Shdr));
        return s;
    };
    const Shdr namesSection = section(namesIndex);
    if (namesSection.sh_size == 0 || namesSection.sh_size > (1u << 24))
        return std::nullopt;
    QByteArray names(qint64(namesSection.sh_size), Qt::Uninitialized);
    if (!readAt(file, qint64(namesSection.sh_offset), names.data(), names.size()))
        return std::nullopt;
    const qint64 wantedLength = qint64(std::strlen(wanted));
    for (qint64 i = 0; i < count; ++i) {
        const Shdr s = section(i);
        const qint64 at = qint64(s.sh_name);
        if (at + wantedLength >= names.size() || std::memcmp(names.constData() + at, wanted, wantedLength + 1) != 0)
            continue;
        if (s.sh_type == SHT_NOBITS)
            return SectionPlace{};
        return SectionPlace{qint64(s.sh_offset), qint64(s.sh_size)};
    }
    return std::nullopt;
}

std::optional<SectionPlace> versionSection(QFile& file) {
    unsigned char ident[EI_NIDENT];
    if (!readAt(file, 0, ident, sizeof(ident)) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const unsigned char ownOrder = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != ownOrder)
        return std::nullopt;
    if (ident[EI_CLASS] == ELFCLASS64)
        return findSection<Elf64_Ehdr, Elf64_Shdr>(file, kVersionSection);
    if (ident[EI_CLASS] == ELFCLASS32)
        return findSection<Elf32_Ehdr, Elf32_Shdr>(file, kVersionSection);
    return std::nullopt;
}

QString runningProgram() {
    return QStringLiteral("/proc/self/exe");
}

} // namespace

TFileVersion::TFileVersion() {
    load(runningProgram());
}

TFileVersion::TFileVersion(const QString& path) {
    load(path);
}

qint64 TFileVersion::versionInfoSize(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const auto place = versionSection(file);
    return place ? place->size : 0;
}

QByteArray TFileVersion::readVersionInfo(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto place = versionSection(file);
    if (!place || place->size == 0 || place->size > (1 << 20))
        return {};
    QByteArray block(place->size, Qt::Uninitialized);
    if (!readAt(file, place->offset, block.data(), block.size()))
        return {};
    return block;
}

void TFileVersion::load(const QString& path) {
    if (versionInfoSize(path) == 0)
        return;
    QByteArray block = readVersionInfo(path);
    const qsizetype end = block.indexOf('\0');
    if (end >= 0)
        block.truncate(end);
    m_hasBlock = !block.isEmpty();
    for (const QByteArray& line : block.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        m_entries.insert(QString::fromUtf8(line.left(equals)).trimmed(),
                         QString::fromUtf8(line.mid(equals + 1)).remove(QLatin1Char('\r')));
    }
}

QString TFileVersion::queryValue(const QString& path) const {
    return m_entries.value(path);
}

QString TFileVersion::GetTranslation() const {
    const QStringList pair =
        queryValue(QStringLiteral("VarFileInfo\\Translation")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (pair.size() < 2)
        return {};
    bool languageOk = false;
    bool codePageOk = false;
    const uint language = pair.at(0).toUInt(&languageOk, 16);
    const uint codePage = pair.at(1).toUInt(&codePageOk, 16);
    if (!languageOk || !codePageOk || language > 0xFFFF || codePage > 0xFFFF)
        return {};
    return QStringLiteral("%1%2")
        .arg(language, 4, 16, QLatin1Char('0'))
        .arg(codePage, 4, 16, QLatin1Char('0'))
        .toUpper();
}

QString TFileVersion::GetValue(const QString& name) const {
    if (!m_hasBlock)
        return {};
    return queryValue(QStringLiteral("StringFileInfo\\") + GetTranslation() + QLatin1Char('\\') + name).trimmed();
}

} // namespace morvane::localisation
