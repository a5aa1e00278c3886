#include "run_output.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "error_report.h"
#include "output_file.h"
#include "particle_hdf5.h"
#include "progress.h"

// A sink that reports the whole galaxy's progress to meter.
particle_sink progress_sink(progress_meter *meter, const gal_system *sys) {
  particle_sink sink;
  sink.progress = meter;
  sink.progress_total = sys->nb_element > 0 ? static_cast<uint64_t>(sys->nb_element) : 0;
  return sink;
}

void print_run_error(const generation_plan &plan, output_result result, const output_file *out) {
  if (result != output_committed && draws_exhausted(plan)) {
    report_exhausted_draws();
  } else {
    print_output_error(result, out);
  }
}

// Creates the particles (unless plan says they exist) and writes them as
// text in frame; returns the exit status.
int write_text_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                   const std::string &name, progress_meter *meter, const write_extras &extras) {
  output_file out;
  if (!open_output_file(&out, name, extras.policy)) {
    print_open_error(&out, name);
    return 1;
  }
  particle_sink sink = progress_sink(meter, sys);
  sink.cancel = extras.policy.cancel;
  sink.write_error = &out.error_number;
  sink.text = out.file;
  sink.frame = frame;
  sink.columns = extras.columns;
  const bool written = generate_particle_file(sys, plan, sink);
  const output_result result = commit_output_file(&out, written);
  print_run_error(plan, result, &out);
  return result == output_committed ? 0 : 1;
}

// Creates the particles (unless plan says they exist) and writes them as
// HDF5 in frame; returns the exit status.
int write_hdf5_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                   const run_provenance &provenance, const std::string &name, progress_meter *meter,
                   const write_extras &extras) {
  output_file out;
  switch (prepare_output_path(&out, name, extras.policy)) {
    case path_ready:
      break;
    case path_cannot_open:
      print_open_error(&out, name);
      return 1;
    case path_not_regular:
      report_error_number(out.error_number);
      report_error("erreur: hdf5 needs a regular file to seek in, and %s is not one", name.c_str());
      return 1;
  }
  const uint64_t total = sys->nb_element > 0 ? static_cast<uint64_t>(sys->nb_element) : 0;
  particle_sink sink = progress_sink(meter, sys);
  sink.cancel = extras.policy.cancel;
  sink.write_error = &out.error_number;
  errno = 0;
  std::string why;
  sink.hdf5 = open_hdf5_writer(output_write_path(&out), sys, total, frame, &provenance, extras.columns, extras.groups,
                               &why);
  if (sink.hdf5 == nullptr && !why.empty()) {
    discard_output_file(&out);
    report_error("erreur: hdf5 cannot hold the galaxy: %s", why.c_str());
    return 1;
  }
  if (sink.hdf5 == nullptr) {
    out.error_number = errno;
    discard_output_file(&out);
    print_open_error(&out, name);
    return 1;
  }
  const bool written = generate_particle_file(sys, plan, sink);
  output_result result = output_committed;
  errno = 0;
  const hdf5_result closed = close_hdf5_writer(sink.hdf5, written);
  if (closed != hdf5_written && out.error_number == 0) out.error_number = errno;
  switch (closed) {
    case hdf5_written:
      result = commit_output_file(&out, true);
      break;
    case hdf5_create_failed:
    case hdf5_write_failed:
      result = output_write_failed;
      break;
    case hdf5_close_failed:
      result = output_close_failed;
      break;
  }
  if (result != output_committed) discard_output_file(&out);
  print_run_error(plan, result, &out);
  return result == output_committed ? 0 : 1;
}

namespace {

// Closes every file of a set; when one fails, the rest are abandoned.
output_result commit_all(std::vector<output_file> *files, bool written, const output_file **failed) {
  output_result result = output_committed;
  for (output_file &out : *files) {
    if (result != output_committed) {
      discard_output_file(&out);
      continue;
    }
    result = commit_output_file(&out, written);
    if (result != output_committed) *failed = &out;
  }
  return result;
}

// Prepares and opens every file of names for positioned writes; prints the
// refusal and abandons them all when one cannot be.
bool open_positioned_files(const std::vector<std::string> &names, const char *format,
                           const output_policy &policy, std::vector<output_file> *files) {
  files->resize(names.size());
  for (size_t k = 0; k < names.size(); ++k) {
    output_file &out = (*files)[k];
    const path_verdict verdict = prepare_output_path(&out, names[k], policy);
    if (verdict == path_ready) {
      const temporary_opened_by_path opening;
      out.file = std::fopen(output_write_path(&out).c_str(), "wb");
    }
    if (verdict == path_ready && out.file == nullptr) out.error_number = errno;
    if (verdict != path_ready || out.file == nullptr) {
      if (verdict == path_not_regular) {
        report_error_number(out.error_number);
        report_error("erreur: %s needs a regular file to seek in, and %s is not one", format, names[k].c_str());
      } else {
        print_open_error(&out, names[k]);
      }
      for (size_t j = 0; j <= k; ++j) discard_output_file(&(*files)[j]);
      return false;
    }
  }
  return true;
}

}  // namespace

int write_binary_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                     const binary_options &options, const std::string &name,
                     const std::string &provenance, progress_meter *meter, const write_extras &extras) {
  const char *format = binary_format_name(options.format);
  const uint64_t total = sys->nb_element > 0 ? static_cast<uint64_t>(sys->nb_element) : 0;
  binary_layout layout;
  std::string why;
  if (!plan_binary_layout(total, options, &layout, &why, extras.columns, extras.groups)) {
    report_error("erreur: %s cannot hold %llu particles: %s", format, static_cast<unsigned long long>(total),
                why.c_str());
    return 1;
  }
  std::vector<output_file> files;
  if (!open_positioned_files(binary_file_names(layout, name), format, extras.policy, &files)) return 1;
  std::vector<positioned_output> outputs;
  for (const output_file &out : files) outputs.push_back(file_output(out.file));
  particle_sink sink = progress_sink(meter, sys);
  sink.cancel = extras.policy.cancel;
  int write_error = 0;
  sink.write_error = &write_error;
  errno = 0;
  sink.binary = open_binary_writer(layout, sys, frame, outputs, true, provenance, extras.columns);
  if (sink.binary == nullptr) write_error = errno;
  const bool written = sink.binary != nullptr && generate_particle_file(sys, plan, sink);
  if (!written) files[0].error_number = write_error;
  const bool overflowed = sink.binary != nullptr && binary_value_overflowed(sink.binary);
  close_binary_writer(sink.binary);
  const output_file *failed = &files[0];
  const output_result result = commit_all(&files, written, &failed);
  if (overflowed) {
    report_error("erreur: a value lies beyond the range of float32 in %s: write it with --double, or "
                "in other --units", name.c_str());
  } else {
    print_run_error(plan, result, failed);
  }
  return result == output_committed ? 0 : 1;
}
