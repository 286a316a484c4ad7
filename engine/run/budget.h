#pragma once

#include <QSize>
#include <QString>

#include <condition_variable>
#include <mutex>

// The memory a run may give its pictures, shared by all its workers. A picture is admitted with
// what its way through the engine will hold at most, known from its header before any pixel is
// decoded; it waits while the pictures in hand leave too little, and is refused when even the
// whole budget is too little. Each worker holds one admission at a time, so a waiting worker
// always waits for others that are getting on.
class MemoryBudget {
public:
    explicit MemoryBudget(qint64 bytes) : total_(bytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    qint64 total() const { return total_; }

    // Memory given to one picture until it is done, then handed back.
    class Admission {
    public:
        Admission() = default;
        Admission(Admission&& other) noexcept;
        Admission& operator=(Admission&& other) noexcept;
        ~Admission();

    private:
        friend class MemoryBudget;
        Admission(MemoryBudget* budget, qint64 bytes) : budget_(budget), bytes_(bytes) {}
        MemoryBudget* budget_ = nullptr;
        qint64 bytes_ = 0;
    };

    // Waits until `bytes` fit beside what the other pictures hold. Raises a Failure that names the
    // picture's size, its need and the budget when the need exceeds the whole budget.
    Admission admit(qint64 bytes, QSize picture);

private:
    void release(qint64 bytes);

    const qint64 total_;
    std::mutex mutex_;
    std::condition_variable released_;
    qint64 used_ = 0;
};

// A half of the memory this process may use: the machine's, or its control group's limit
// (memory.max, or memory.limit_in_bytes under cgroup v1) where that is lower. The other half
// stays for the program itself, its watermark, and everything else the machine runs.
qint64 DefaultMemoryBudget();

// "512 MB", "1.5 GB": a number of bytes as the messages show it.
QString MemoryText(qint64 bytes);

// The text of a picture whose need exceeds the whole budget.
QString BeyondBudgetText(QSize picture, qint64 need, qint64 budget);
