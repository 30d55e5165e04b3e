#include "core/ops/export_read.hpp"

#include "core/ops/planned_samples.hpp"
#include "core/ops/recording_file.hpp"

namespace velnora {

namespace {

Result<SamplingReport> report_for(std::string_view path, bool past_damage) {
  if (!past_damage) return sampling_consistency_report(path);
  DamagedBlocks report_damage;
  return sampling_report_past_damage(path, report_damage);
}

}  // namespace

Result<ExportRead> read_for_export(std::string_view path, const CutConfig& cut, IncludeFlags include,
                                   std::optional<double> resample_hz, DamagedBlocks* damaged,
                                   bool carried_only) {
  auto header = read_cwa_header(path);
  if (!header) return fail(std::move(header.error()));
  auto report = report_for(path, damaged != nullptr);
  if (!report) return fail(std::move(report.error()));
  if (carried_only) include = velnora::carried_only(include, report->sensors);
  auto samples = read_cut_samples(path, cut, include, resample_hz, damaged);
  if (!samples) return fail(std::move(samples.error()));
  return ExportRead{std::move(*header), std::move(*report), std::move(*samples)};
}

}  // namespace velnora
