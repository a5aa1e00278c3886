#include "check_mpi.h"

#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "check_cli.h"

namespace {

// Messages go in pieces an int can count.
constexpr uint64_t piece = uint64_t{1} << 30;

void send_bytes(const std::vector<unsigned char> &bytes, int to) {
  uint64_t n = bytes.size();
  MPI_Send(&n, 1, MPI_UINT64_T, to, 0, MPI_COMM_WORLD);
  for (uint64_t at = 0; at < n; at += piece) {
    const int count = static_cast<int>(std::min(piece, n - at));
    MPI_Send(bytes.data() + at, count, MPI_UNSIGNED_CHAR, to, 1, MPI_COMM_WORLD);
  }
}

std::vector<unsigned char> receive_bytes(int from) {
  uint64_t n = 0;
  MPI_Recv(&n, 1, MPI_UINT64_T, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  std::vector<unsigned char> bytes(n);
  for (uint64_t at = 0; at < n; at += piece) {
    const int count = static_cast<int>(std::min(piece, n - at));
    MPI_Recv(bytes.data() + at, count, MPI_UNSIGNED_CHAR, from, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  }
  return bytes;
}

// Rank from's bytes, on every rank.
std::vector<unsigned char> broadcast_bytes(const std::vector<unsigned char> &mine, int from, int rank) {
  uint64_t n = mine.size();
  MPI_Bcast(&n, 1, MPI_UINT64_T, from, MPI_COMM_WORLD);
  std::vector<unsigned char> bytes = rank == from ? mine : std::vector<unsigned char>(n);
  for (uint64_t at = 0; at < n; at += piece) {
    const int count = static_cast<int>(std::min(piece, n - at));
    MPI_Bcast(bytes.data() + at, count, MPI_UNSIGNED_CHAR, from, MPI_COMM_WORLD);
  }
  return bytes;
}

std::vector<std::vector<unsigned char>> gather(const std::vector<unsigned char> &mine, bool everyone, int rank,
                                               int ranks) {
  std::vector<std::vector<unsigned char>> all;
  if (everyone) {
    for (int r = 0; r < ranks; ++r) all.push_back(broadcast_bytes(mine, r, rank));
    return all;
  }
  if (rank != 0) {
    send_bytes(mine, 0);
    return all;
  }
  all.push_back(mine);
  for (int r = 1; r < ranks; ++r) all.push_back(receive_bytes(r));
  return all;
}

}  // namespace

int galaxy_check_mpi_main(int argc, char **argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
  check_parallel parallel;
  MPI_Comm_rank(MPI_COMM_WORLD, &parallel.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &parallel.ranks);
  parallel.gather = [&parallel](const std::vector<unsigned char> &mine, bool everyone) {
    return gather(mine, everyone, parallel.rank, parallel.ranks);
  };
  const check_outcome outcome = run_galaxy_check(argc, argv, nullptr, nullptr, &parallel);
  int status = parallel.rank == 0 ? print_check_outcome(outcome) : outcome.status;
  MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
