#include "kernel/modelobject.hpp"

#include <cmath>
#include <mpi.h>

#include "kernel/statcount.hpp"

modelobject::modelobject(DiagLog* log_, const std::string& controlFileName_, int /*unused*/, bool textOutput_,
                         bool doublePrecision_, const ObjectRecord& record)
    : log(log_),
      controlFileName(controlFileName_),
      textOutput(textOutput_),
      doublePrecision(doublePrecision_),
      outputPath(record.outputPath),
      inputPath(record.inputPath),
      sendHalo(record.sendHalo),
      recvHalo(record.recvHalo) {
    memLog_ = log_;
    basinColumns = record.basinColumns;
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (initialised) {
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
        MPI_Comm_size(MPI_COMM_WORLD, &size);
    }
}

modelobject::~modelobject() {
    if (log) *log << "DEBUG: deleting module " << moduleName << "[end-entry]";
}

void modelobject::SetEndDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) {
    endYear = y;
    endMonth = m;
    endDay = d;
    endHour = h;
    endKey = DateKey(y, m, d, h);
}

void modelobject::SetReferenceValues(double x, double y, double cell, const Matrix* mask) {
    refX = x;
    refY = y;
    refCellsize = cell;
    refMask = mask;
}

void modelobject::ResetStatistics(double threshold) {
    statThreshold = threshold;
    statCount = statMin = statMax = statSum = statSumSquares = 0;
}

void modelobject::AddToStatistics(double x, double w) {
    if (!(x > statThreshold + 1)) return;
    CountStatisticValue(x, w, statCount, statSum, statSumSquares, statMin, statMax);
}

void modelobject::GetStatistics(double* count, double* min, double* max, double* sum, double* mean,
                                double* stddev) const {
    *count = statCount;
    *min = statMin;
    *max = statMax;
    *sum = statSum;
    *mean = statCount > 0 ? statSum / statCount : -9999.0;
    if (statCount <= 2) {
        *stddev = -9999.0;
    } else {
        const double variance = (statSumSquares - statSum * statSum / statCount) / (statCount - 1);
        // A variance that rounds below zero stands for no spread at all.
        *stddev = variance > 0 ? std::sqrt(variance) : 0.0;
    }
}

double modelobject::Interpolate(double x1, double y1, double x2, double y2, double x) const {
    const double d = x2 - x1;
    if (d == 0) return y1;
    return y1 * (x2 - x) / d + y2 * (x - x1) / d;
}
