#include "engine/run/budget.h"

#include "support/failure.h"

#include <QFile>

#include <algorithm>
#include <limits>
#include <utility>

#include <unistd.h>

namespace {
constexpr qint64 kMegabyte = 1024 * 1024;
constexpr qint64 kGigabyte = 1024 * kMegabyte;

// The lowest limit in the file of the group and of every group above it: each group up the tree
// may set its own, and the lowest holds. -1 for none; "max" (v2) is none, and v1's "no limit" is a
// number beyond any memory, which the machine's own memory then undercuts.
qint64 LowestLimitUp(const QString& root, QByteArray group, const QString& file) {
    qint64 lowest = -1;
    for (;;) {
        QFile limit(root + QString::fromUtf8(group) + QLatin1Char('/') + file);
        bool isNumber = false;
        const qint64 bytes =
            limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed().toLongLong(&isNumber) : 0;
        if (isNumber && bytes > 0)
            lowest = lowest < 0 ? bytes : std::min(lowest, bytes);
        if (group.isEmpty() || group == "/")
            return lowest;
        group.truncate(std::max<qsizetype>(0, group.lastIndexOf('/')));
    }
}

// The memory limit of the control group this process runs in: memory.max under cgroup v2,
// memory.limit_in_bytes under v1's memory controller; -1 for none.
qint64 ControlGroupLimit() {
    QFile membership(QStringLiteral("/proc/self/cgroup"));
    if (!membership.open(QIODevice::ReadOnly))
        return -1;
    qint64 lowest = -1;
    for (const QByteArray& line : membership.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() < 3)
            continue;
        const QByteArray group = line.mid(fields[0].size() + fields[1].size() + 2).trimmed();
        qint64 bytes = -1;
        if (fields[0] == "0" && fields[1].isEmpty())
            bytes = LowestLimitUp(QStringLiteral("/sys/fs/cgroup"), group,
                                  QStringLiteral("memory.max"));
        else if (fields[1].split(',').contains("memory"))
            bytes = LowestLimitUp(QStringLiteral("/sys/fs/cgroup/memory"), group,
                                  QStringLiteral("memory.limit_in_bytes"));
        if (bytes > 0)
            lowest = lowest < 0 ? bytes : std::min(lowest, bytes);
    }
    return lowest;
}
} // namespace

MemoryBudget::Admission::Admission(Admission&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryBudget::Admission& MemoryBudget::Admission::operator=(Admission&& other) noexcept {
    if (this != &other) {
        if (budget_)
            budget_->release(bytes_);
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

MemoryBudget::Admission::~Admission() {
    if (budget_)
        budget_->release(bytes_);
}

MemoryBudget::Admission MemoryBudget::admit(qint64 bytes, QSize picture) {
    if (bytes > total_)
        throw Failure(BeyondBudgetText(picture, bytes, total_));
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return used_ + bytes <= total_; });
    used_ += bytes;
    return Admission(this, bytes);
}

void MemoryBudget::release(qint64 bytes) {
    {
        std::lock_guard lock(mutex_);
        used_ -= bytes;
    }
    released_.notify_all();
}

qint64 DefaultMemoryBudget() {
    qint64 memory = qint64(::sysconf(_SC_PHYS_PAGES)) * qint64(::sysconf(_SC_PAGESIZE));
    const qint64 group = ControlGroupLimit();
    if (group > 0 && (memory <= 0 || group < memory))
        memory = group;
    return memory > 0 ? memory / 2 : std::numeric_limits<qint64>::max();
}

QString MemoryText(qint64 bytes) {
    if (bytes >= kGigabyte)
        return QStringLiteral("%1 GB").arg(double(bytes) / double(kGigabyte), 0, 'f', 1);
    return QStringLiteral("%1 MB").arg((bytes + kMegabyte - 1) / kMegabyte);
}

QString BeyondBudgetText(QSize picture, qint64 need, qint64 budget) {
    return QStringLiteral("picture too large for the memory budget: %1 x %2 pixels need %3, more "
                          "than the %4 the run may use")
        .arg(picture.width())
        .arg(picture.height())
        .arg(MemoryText(need), MemoryText(budget));
}
