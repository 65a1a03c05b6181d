// The interpolators of the meteorological input behind the time loop's view of an input.
#include "driver/modapuzr_inputs.hpp"

#include "meteo/meteoint.hpp"

namespace {
class InterpolatorInput : public MeteoInput {
public:
    explicit InterpolatorInput(std::unique_ptr<meteointerpol> p) : p_(std::move(p)) {}
    int Method() const override { return p_->method; }
    void SetWarnings(int value) override { p_->SetWarnings(value); }
    void SetHourOffset(double hours) override { p_->SetHourOffset(hours); }
    void SetStatus(int word) override { p_->SetStatus(word); }
    void GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const override {
        p_->GetDate(h, d, m, y);
    }
    void ComputeElevationRegression(int flag) override { p_->ComputeElevationRegression(flag); }
    void run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override { p_->run(h, d, m, y); }
    bool StatisticsMayWrite() const override { return p_->ZoneStatistics().NextRowMayWrite(); }
    void WriteOutputGrid() override { p_->WriteOutputGrid(); }
    void AdvanceRecords() override { p_->AdvanceRecords(); }
    bool IsAtEnd() const override { return p_->IsAtEnd(); }
    bool DataEndWithThisStep() override { return p_->DataEndWithThisStep(); }
    int BufferedDataEnd() const override { return p_->BufferedDataEnd(); }
    void CheckOnlyInterval(std::int64_t stepMinutes) override { p_->CheckOnlyInterval(stepMinutes); }
    void EndAtCurrentDate() override { p_->EndAtCurrentDate(); }
    void FlushStatistics() override { p_->FlushStatistics(); }
    void Rewind() override { p_->Rewind(); }
    meteointerpol* Interpolator() override { return p_.get(); }

private:
    std::unique_ptr<meteointerpol> p_;
};
}  // namespace

std::unique_ptr<MeteoInput> MakeInterpolatorInput(unsigned& error, DiagLog* log, const std::string& name,
                                                  const SubmodelSettings& settings, int gridIndex) {
    auto p = std::make_unique<meteointerpol>(error, log, name, settings, gridIndex);
    if (error != 0) return nullptr;
    return std::make_unique<InterpolatorInput>(std::move(p));
}
