#include "host/files.h"

#include <algorithm>
#include <cstring>

#include "host/module.h"
#include "host/references.h"
#include "host/spool.h"
#include "module/status.h"

namespace host::files {
namespace {

const Module& module() { return *Module::load_default(nullptr); }

// The files open now, so that owner termination can forget those it ended.
std::vector<OpenFile*> g_open_files;

}  // namespace

int32_t OpenFile::open(const std::string& name, const OpenParams& params,
                       std::unique_ptr<OpenFile>* out) {
  out->reset();
  std::unique_ptr<OpenFile> f(new OpenFile);
  f->name_ = references::padded_name(name);
  f->request_.open_mode = params.mode;
  f->request_.recfm = params.recfm;
  f->request_.lrecl = params.lrecl;
  f->request_.options = params.options;
  f->fileref_[HOST_FILEREF_OWNER_WORD] = params.owner_key;
  f->work_after_ = spool::mark();
  FtpFile* file = nullptr;
  int32_t status = module().call(slot::OPEN, &file, f->name_.c_str(),
                                 static_cast<void*>(f->fileref_), &f->request_);
  f->work_upto_ = spool::mark();
  if (status != st::OK || !file) {
    spool::close_made(f->work_after_, f->work_upto_);
    return status != st::OK ? status : st::OPEN_FAILED;
  }
  f->file_ = file;
  void* vector = nullptr;
  status = module().call(slot::RECORD_ACCESS, file, &vector);
  if (status != st::OK || !vector) {
    f->close();
    return status != st::OK ? status : st::NO_MEMORY;
  }
  f->access_ = static_cast<RecordAccessVector*>(vector);
  g_open_files.push_back(f.get());
  *out = std::move(f);
  return st::OK;
}

OpenFile::~OpenFile() {
  if (file_) close();
}

int32_t OpenFile::write(std::string_view data, char cc) {
  return access_->write(file_, data.data(), int32_t(data.size()),
                        int32_t(static_cast<unsigned char>(cc)));
}

int32_t OpenFile::note(Position* position) { return access_->note(file_, position); }

int32_t OpenFile::point(const Position& position) {
  Position copy = position;
  return access_->point(file_, &copy);
}

int32_t OpenFile::position_to_number(const Position& position, double* number) {
  Position copy = position;
  return module().call(slot::POSITION_TO_NUMBER, file_, number, static_cast<void*>(&copy));
}

int32_t OpenFile::number_to_position(double number, Position* position) {
  return access_->number_to_position(file_, number, position);
}

int32_t OpenFile::info(InfoRecord* info) {
  std::memset(info, 0, sizeof *info);
  return module().call(slot::INFO, file_, name_.c_str(), static_cast<void*>(fileref_), 0, 0,
                       static_cast<void*>(info));
}

int32_t OpenFile::items(std::vector<std::pair<std::string, std::string>>* items) {
  items->clear();
  void* list = nullptr;
  int32_t status = module().call(slot::INFO_ITEMS, file_, &list);
  if (status != st::OK || !list) return status;
  auto* l = static_cast<InfoItemList*>(list);
  for (int i = 0; i < l->header[3] && i < INFO_ITEMS_MAX; ++i) {
    const InfoItem& item = l->items[i];
    items->emplace_back(std::string(item.name, size_t(item.name_length)),
                        std::string(item.value, size_t(item.value_length)));
  }
  return module().call(slot::INFO_RELEASE, file_, list);
}

int32_t OpenFile::facts(FileFacts* facts) {
  *facts = FileFacts{};
  if (!file_) return st::NO_OPEN_FILE;
  auto fn = reinterpret_cast<FactsRoutine>(module().symbol("yxffact"));
  return fn ? fn(file_, facts) : st::OK;
}

int32_t OpenFile::close() {
  if (!file_) return st::NO_OPEN_FILE;
  int32_t status = module().call(slot::CLOSE, file_);
  forget();
  return status;
}

void OpenFile::forget() {
  file_ = nullptr;
  access_ = nullptr;
  spool::close_made(work_after_, work_upto_);
  g_open_files.erase(std::remove(g_open_files.begin(), g_open_files.end(), this),
                     g_open_files.end());
}

void terminate_owner(uint32_t key) {
  using Terminate = void (*)(uint32_t);
  auto fn = reinterpret_cast<Terminate>(module().symbol("yxftrm"));
  if (!fn) return;
  fn(key);
  std::vector<OpenFile*> ended;
  for (OpenFile* f : g_open_files)
    if (f->fileref_[HOST_FILEREF_OWNER_WORD] == key) ended.push_back(f);
  for (OpenFile* f : ended) f->forget();
}

int32_t reference_info(const std::string& name, InfoRecord* info) {
  std::memset(info, 0, sizeof *info);
  std::string n = references::padded_name(name);
  uint32_t fileref[8] = {};
  return module().call(slot::INFO, static_cast<FtpFile*>(nullptr), n.c_str(),
                       static_cast<void*>(fileref), 0, 0, static_cast<void*>(info));
}

}  // namespace host::files
