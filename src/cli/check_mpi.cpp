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

std::vector<std::vector<unsigned char>> exchange(const std::vector<std::vector<unsigned char>> &to_each, int rank,
                                                 int ranks) {
  std::vector<uint64_t> out(static_cast<size_t>(ranks)), in(static_cast<size_t>(ranks));
  for (int r = 0; r < ranks; ++r) out[r] = r < static_cast<int>(to_each.size()) && r != rank ? to_each[r].size() : 0;
  MPI_Alltoall(out.data(), 1, MPI_UINT64_T, in.data(), 1, MPI_UINT64_T, MPI_COMM_WORLD);
  std::vector<std::vector<unsigned char>> from_each(static_cast<size_t>(ranks));
  std::vector<MPI_Request> requests;
  for (int r = 0; r < ranks; ++r) {
    from_each[r].resize(in[r]);
    for (uint64_t at = 0; r != rank && at < in[r]; at += piece) {
      requests.emplace_back();
      MPI_Irecv(from_each[r].data() + at, static_cast<int>(std::min(piece, in[r] - at)), MPI_UNSIGNED_CHAR, r, 2,
                MPI_COMM_WORLD, &requests.back());
    }
  }
  for (int r = 0; r < ranks; ++r) {
    for (uint64_t at = 0; r != rank && at < out[r]; at += piece) {
      requests.emplace_back();
      MPI_Isend(to_each[r].data() + at, static_cast<int>(std::min(piece, out[r] - at)), MPI_UNSIGNED_CHAR, r, 2,
                MPI_COMM_WORLD, &requests.back());
    }
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
  return from_each;
}

// The count of blocks claimed in a pass, on rank 0, drawn from by atomic
// fetch-and-add: no rank waits on another's attention for its next block.
struct block_count {
  MPI_Win window = MPI_WIN_NULL;
  uint64_t *count = nullptr;
};

void begin_block_count(block_count *c, int rank) {
  MPI_Win_allocate(rank == 0 ? sizeof(uint64_t) : 0, sizeof(uint64_t), MPI_INFO_NULL, MPI_COMM_WORLD, &c->count,
                   &c->window);
  MPI_Win_lock_all(MPI_MODE_NOCHECK, c->window);
  if (rank == 0) *c->count = 0;
  MPI_Win_sync(c->window);
  MPI_Barrier(MPI_COMM_WORLD);
}

uint64_t claim_block(block_count *c) {
  const uint64_t one = 1;
  uint64_t got = 0;
  MPI_Fetch_and_op(&one, &got, MPI_UINT64_T, 0, 0, MPI_SUM, c->window);
  MPI_Win_flush(0, c->window);
  return got;
}

void end_block_count(block_count *c) {
  MPI_Win_unlock_all(c->window);
  MPI_Win_free(&c->window);
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
  block_count blocks;
  parallel.begin_claims = [&blocks, &parallel] { begin_block_count(&blocks, parallel.rank); };
  parallel.claim = [&blocks] { return claim_block(&blocks); };
  parallel.end_claims = [&blocks] { end_block_count(&blocks); };
  parallel.exchange = [&parallel](const std::vector<std::vector<unsigned char>> &to_each) {
    return exchange(to_each, parallel.rank, parallel.ranks);
  };
  const check_outcome outcome = run_galaxy_check(argc, argv, nullptr, nullptr, &parallel);
  int status = parallel.rank == 0 ? print_check_outcome(outcome) : outcome.status;
  MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
