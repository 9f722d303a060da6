#include "storage/VirtualDisk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "foundation/Utilities.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/ImageFiles.h"

void AppendRun(std::vector<ImageRun>& runs, ImageRun::Kind kind, uint64_t fileByte, uint32_t bytes) {
  if (bytes == 0) return;
  if (!runs.empty()) {
    ImageRun& last = runs.back();
    const bool continues = last.kind == kind && (kind != ImageRun::kFile || last.fileByte + last.bytes == fileByte);
    if (continues && uint64_t(last.bytes) + bytes <= UINT32_MAX) {
      last.bytes += bytes;
      return;
    }
  }
  runs.push_back(ImageRun{kind, kind == ImageRun::kFile ? fileByte : 0, bytes});
}

ImageFile::ReadResult MemoryImageFile::Read(uint64_t offset, uint32_t bytes, uint8_t* out) {
  ++reads;
  memset(out, 0, bytes);
  if (offset < size_) memcpy(out, data_ + offset, size_t(std::min<uint64_t>(bytes, size_ - offset)));
  if (damagedFirst < damagedEnd && offset < damagedEnd && damagedFirst < offset + bytes) {
    const uint64_t a = std::max(offset, damagedFirst), b = std::min(offset + bytes, damagedEnd);
    memset(out + (a - offset), 0, size_t(b - a));
    return kReadDamaged;
  }
  return kReadOk;
}

bool RawImageMap::Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) {
  const uint64_t first = sector * sectorSize_;
  const uint64_t bytes = uint64_t(sectors) * sectorSize_;
  const uint64_t inFile = first < fileSize_ ? std::min(bytes, fileSize_ - first) : 0;
  AppendRun(runs, ImageRun::kFile, first, uint32_t(inFile));
  AppendRun(runs, ImageRun::kZeros, 0, uint32_t(bytes - inFile));
  return true;
}

// ---- the inner file ----

// Reads of the inner drive at any byte offset. Reads that are not whole
// sectors go through the drive's own buffer.
class ImageChainDrive::DriveFile : public ImageFile {
 public:
  DriveFile(Drive& drive, uint64_t size) : d_(drive), size_(size) {}
  uint64_t Size() const override { return size_; }
  ReadResult Read(uint64_t offset, uint32_t bytes, uint8_t* out) override {
    const uint32_t ss = d_.SectorSize();
    const uint32_t piece = std::max(ss, std::min(d_.TransferSize(), kIoBufferBytes) / ss * ss);
    const uint32_t before = d_.TotalErrors();
    uint32_t done = 0;
    while (done < bytes) {
      const uint64_t at = offset + done;
      const uint32_t skip = uint32_t(at % ss);
      const uint32_t want = std::min(bytes - done, piece - skip);
      const int64_t first = int64_t(at / ss);
      uint8_t* p;
      if (skip == 0 && want % ss == 0) {
        p = d_.ReadSectors(first, want, Drive::kRetryPiece, out + done, true);
      } else {
        const uint32_t span = (skip + want + ss - 1) / ss * ss;
        p = d_.ReadSectors(first, span, Drive::kRetryPiece, nullptr, true);
        if (p) memcpy(out + done, p + skip, want);
      }
      if (!p || p == Drive::kReadStarted) return kReadFailed;
      done += want;
    }
    return d_.TotalErrors() != before ? kReadDamaged : kReadOk;
  }

 private:
  Drive& d_;
  uint64_t size_;
};

// ---- the chain ----

ImageChainDrive::~ImageChainDrive() {
  if (buffer_) AlignedFree(buffer_);
}

bool ImageChainDrive::SplitChain(WStringView name, WStringView keyword, std::vector<WString>* files) {
  files->clear();
  if (!name.starts_with(keyword)) {
    if (!IsFullPath(name)) {
      VErrorMsg(Msg(181).c_str(), name);
      return false;
    }
    files->emplace_back(name);
    return true;
  }
  WStringView body = name.substr(keyword.size());
  if (!body.empty() && body.back() == u')') body.remove_suffix(1);
  for (;;) {
    const size_t bar = body.find(u'|');
    const WStringView member = body.substr(0, bar);
    if (member.empty() || !IsFullPath(member) || member.find(u')') != WStringView::npos) {
      // A path holding '|' or ')' cannot be told from the definition's own
      // separators: it is refused rather than opened as another file.
      VErrorMsg(u"A file of a chained image must be an absolute path without '|' or ')': \"%s\" in %s.", member,
                name);
      return false;
    }
    files->emplace_back(member);
    if (bar == WStringView::npos) break;
    body = body.substr(bar + 1);
  }
  return true;
}

void ImageChainDrive::InitDrive(WStringView name) {
  if (name.empty() || name.size() >= kMaxNameChars) {
    VErrorMsg(Msg(181).c_str(), name);
    throw DvCodeError{0};
  }
  std::vector<WString> files;
  if (!SplitChain(name, Keyword(), &files)) throw DvCodeError{0};
  if (files.size() > kMaxChainFiles) {
    if (traceIo) TracePrintfA("%d files in %s: the first %d are opened\n", int32_t(files.size()), ToUtf8(name),
                              int32_t(kMaxChainFiles));
    files.resize(kMaxChainFiles);
  }
  InitFiles(files, files.size());
  CheckChainOrder(files);
  name_ = WString(name);
}

namespace {

WString g_parentGuess;

}  // namespace

const WString& LastParentGuess() { return g_parentGuess; }

WString GuessParentFile(WStringView child, const std::vector<WString>& names) {
  const size_t slash = child.rfind(u'/');
  const WString folder(slash == WStringView::npos ? WStringView() : child.substr(0, slash + 1));
  for (const WString& n : names) {
    const size_t cut = n.find_last_of(u"/\\:");
    const WString leaf = cut == WString::npos ? n : n.substr(cut + 1);
    if (leaf.empty() || leaf == u"." || leaf == u"..") continue;
    const WString path = folder + leaf;
    struct stat st;
    if (path != child && stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
  }
  return {};
}

namespace {

// "a" or "b", each name once.
WString JoinNames(const std::vector<WString>& names) {
  std::vector<WString> unique;
  for (const WString& n : names)
    if (!n.empty() && std::find(unique.begin(), unique.end(), n) == unique.end()) unique.push_back(n);
  WString out;
  for (const WString& n : unique) out += (out.empty() ? u"\"" : u" or \"") + n + u"\"";
  return out;
}

bool NamesParentOf(const ChainLink& child, const ChainLink& parent) {
  if (!child.known) return true;  // nothing to go by
  if (!child.differencing) return false;
  if (child.parentIds.empty() || parent.ownId.empty()) return true;  // nothing to tell them apart by
  return std::find(child.parentIds.begin(), child.parentIds.end(), parent.ownId) != child.parentIds.end();
}

}  // namespace

void ImageChainDrive::CheckChainOrder(const std::vector<WString>& given) const {
  std::vector<const ImageChainDrive*> chain;  // oldest first
  for (const ImageChainDrive* d = this; d; d = d->parent_.get()) chain.insert(chain.begin(), d);
  std::vector<WString> files(given.begin(), given.begin() + std::min(given.size(), chain.size()));
  if (files.size() != chain.size()) return;
  const ChainLink& bottom = chain.front()->link_;
  if (chain.size() == 1) {
    if (bottom.differencing) {
      const WString names = JoinNames(bottom.parentNames);
      const WString parent = names.empty() ? WString(u"(its name is not recorded)") : names;
      g_parentGuess = GuessParentFile(files[0], bottom.parentNames);
      WString text = FormatW(
          u"%s is a differencing image: its parent %s is needed. Open the parent and this file "
          u"together as a chained image, oldest first: %s%s|%s).",
          files[0], parent, Keyword(), g_parentGuess.empty() ? WString(u"<parent>") : g_parentGuess, files[0]);
      ErrorMsg(text);
      throw DvCodeError{kNeedsParent};
    }
    return;
  }
  // The first file that does not follow its parent (0: the oldest one is
  // itself a differencing image).
  size_t bad = 0;
  if (!bottom.differencing) {
    bad = 1;
    while (bad < chain.size() && NamesParentOf(chain[bad]->link_, chain[bad - 1]->link_)) bad++;
    if (bad == chain.size()) return;
  }
  // Out of order: the order the ids give, when they give one.
  std::vector<size_t> order;
  std::vector<bool> used(chain.size(), false);
  for (size_t i = 0; i < chain.size(); i++)
    if (!chain[i]->link_.differencing) {
      if (!order.empty()) {
        order.clear();
        break;
      }
      order.push_back(i);
    }
  if (!order.empty()) used[order[0]] = true;
  while (!order.empty() && order.size() < chain.size()) {
    size_t next = chain.size();
    for (size_t i = 0; i < chain.size(); i++)
      if (!used[i] && !chain[order.back()]->link_.ownId.empty() && !chain[i]->link_.parentIds.empty() &&
          NamesParentOf(chain[i]->link_, chain[order.back()]->link_))
        next = next == chain.size() ? i : chain.size() + 1;  // two candidates: no order
    if (next >= chain.size()) {
      order.clear();
      break;
    }
    used[next] = true;
    order.push_back(next);
  }
  WString why;
  if (bottom.differencing) why = FormatW(u"the oldest file, %s, is itself a differencing image", files[0]);
  else why = FormatW(u"%s is not the parent of %s", files[bad - 1], files[bad]);
  WString text = FormatW(u"The files of the chained image are not in order: %s.", why);
  if (order.size() == chain.size()) {
    WString def(Keyword());
    for (size_t k = 0; k < order.size(); k++) def += (k ? u"|" : u"") + files[order[k]];
    text += FormatW(u" Oldest first, they are %s).", def);
  } else {
    text += u" List the files oldest first, each after the parent it names.";
  }
  ErrorMsg(text);
  throw DvCodeError{0};
}

void ImageChainDrive::NoteCut(const CutBlocks& cut) {
  if (!cut.blocks) return;
  notes.push_back(
      FormatW(u"%s is cut short: it ends at byte %I64d, but its table places the data of %I64d "
              u"block(s) past its end (virtual sectors %I64d to %I64d); those sectors read as "
              u"unreadable.",
              WString(name_), int64_t(fileSize_), int64_t(cut.blocks), int64_t(cut.first), int64_t(cut.last)));
}

void ImageChainDrive::InitFiles(const std::vector<WString>& files, size_t count) {
  parent_.reset();
  map_.reset();
  fileBytes_.reset();
  file_.reset();
  chainDepth_ = 1;
  link_ = ChainLink{};
  notes.clear();
  cacheValid_ = false;
  haveStarted_ = false;
  consecutiveErrors_ = totalErrors_ = errorsAtCache_ = 0;
  const WString& path = files[count - 1];
  name_ = path;
  devicePath_ = ToUtf8(path);
  isImage_ = true;

  file_ = std::make_unique<Drive>();
  file_->InitDrive(path);
  fileSize_ = file_->IsImage() ? theImageFiles().GetSize(file_->Name()) : file_->SectorCount() << file_->Shift();
  transferSize_ = file_->TransferSize();
  retryPiece_ = kRetryPiece;
  fileBytes_ = std::make_unique<DriveFile>(*file_, fileSize_);
  OpenFormat();

  if (count > 1) {
    parent_ = MakeParent();
    parent_->InitFiles(files, count - 1);
    chainDepth_ = parent_->chainDepth_ + 1;
    notes.insert(notes.end(), parent_->notes.begin(), parent_->notes.end());
    if (parent_->SectorSize() != sectorSize_)
      Refuse(FormatW(u"The files of a chained image have different sector sizes: %u bytes in %s, %u in %s.",
                     parent_->SectorSize(), files[count - 2], sectorSize_, path));
  }
}

void ImageChainDrive::SetGeometry(uint32_t sectorSize, uint64_t sectorCount) {
  sectorSize_ = sectorSize;
  shift_ = uint32_t(Log2Exact(sectorSize));
  sectorsPer4G_ = uint32_t(0x100000000ull / sectorSize);
  sectorCount_ = sectorCount;
  cacheValid_ = false;
}

ImageFile& ImageChainDrive::FileBytes() { return *fileBytes_; }

void ImageChainDrive::Refuse(const WString& text) {
  ErrorMsg(text);
  throw DvCodeError{0};
}

std::vector<SourceIdentity> ImageChainDrive::ChainIdentities() const {
  std::vector<SourceIdentity> out;
  for (const ImageChainDrive* d = this; d; d = d->parent_.get())
    if (d->file_) out.push_back(d->file_->Identity());
  return out;
}

bool ImageChainDrive::IsSafeVolume(WStringView destinationPath) {
  for (ImageChainDrive* d = this; d; d = d->parent_.get())
    if (d->file_ && !d->file_->IsSafeVolume(destinationPath)) return false;
  return true;
}

bool ImageChainDrive::IsSafeDrive(int diskNumber) {
  for (ImageChainDrive* d = this; d; d = d->parent_.get())
    if (d->file_ && !d->file_->IsSafeDrive(diskNumber)) return false;
  return true;
}

uint32_t ImageChainDrive::ChainErrors() const {
  return (file_ ? file_->TotalErrors() : 0) + (parent_ ? parent_->TotalErrors() : 0);
}

// ---- reading ----

uint8_t* ImageChainDrive::ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool wait) {
  haveStarted_ = false;
  if (sector < 0) {
    VErrorMsg(Msg(362).c_str(), sector);
    return nullptr;
  }
  if (!file_ || !map_) {
    VErrorMsg(Msg(181).c_str(), name_);
    return nullptr;
  }
  if (bytes > transferSize_) {
    VErrorMsg(u"A read of %u bytes is larger than the transfer size of %u bytes.", bytes, transferSize_);
    return nullptr;
  }
  if (!buffer && bufferBytes_ < transferSize_) {
    void* grown = AlignedAlloc(transferSize_);
    if (!grown) ShowErrorAndThrow();
    if (buffer_) AlignedFree(buffer_);
    buffer_ = static_cast<uint8_t*>(grown);
    bufferBytes_ = transferSize_;
    cacheValid_ = false;
  }
  uint8_t* out = buffer ? static_cast<uint8_t*>(buffer) : buffer_;
  uint8_t* data = nullptr;
  const uint64_t s = uint64_t(sector);
  if (bytes == 0) {
    data = out;
  } else if (cacheValid_ && errorsAtCache_ == totalErrors_ && s >= cacheFirst_ && s - cacheFirst_ < cacheSectors_ &&
             ((s - cacheFirst_) << shift_) + bytes <= uint64_t(cacheSectors_) << shift_) {
    if (traceIo) TracePrintfA("%ld bytes already in buffer\n", int32_t(bytes));
    data = buffer_ + ((s - cacheFirst_) << shift_);
    if (buffer) {
      memcpy(buffer, data, bytes);
      data = out;
    }
  } else {
    cacheValid_ = false;
    const uint32_t errors = totalErrors_;
    data = ReadInto(s, bytes, retryPiece, out);
    if (!data) return nullptr;
    // Zeros standing for unreadable bytes are not kept: the next read
    // tries the files again.
    if (!buffer && totalErrors_ == errors) {
      cacheValid_ = true;
      cacheFirst_ = s;
      cacheSectors_ = bytes >> shift_;
      errorsAtCache_ = totalErrors_;
    }
  }
  if (!wait) {
    started_ = data;
    haveStarted_ = true;
    return kReadStarted;
  }
  return data;
}

uint8_t* ImageChainDrive::FinishRead() {
  if (!haveStarted_) return nullptr;
  haveStarted_ = false;
  return started_;
}

uint8_t* ImageChainDrive::ReadInto(uint64_t sector, uint32_t bytes, uint32_t retryPiece, uint8_t* out) {
  const uint32_t ss = sectorSize_;
  const uint64_t end = sectorCount_ + extraSectors_;
  uint32_t inside = 0;
  if (sector < end) inside = uint32_t(std::min<uint64_t>(bytes, std::min<uint64_t>(end - sector, bytes) << shift_));
  const uint32_t before = ChainErrors();
  bool bad = false;
  uint32_t pos = 0;
  if (inside > 0) {
    runs_.clear();
    if (!map_->Lookup(sector, (inside + ss - 1) / ss, runs_)) return nullptr;
    for (const ImageRun& run : runs_) {
      if (pos >= inside) break;
      const uint32_t n = std::min(run.bytes, inside - pos);
      switch (run.kind) {
        case ImageRun::kFile: {
          const uint32_t inFile =
              run.fileByte < fileSize_ ? uint32_t(std::min<uint64_t>(n, fileSize_ - run.fileByte)) : 0;
          if (inFile && fileBytes_->Read(run.fileByte, inFile, out + pos) == ImageFile::kReadFailed) return nullptr;
          if (inFile < n) {
            // The map points past the end of a cut file.
            memset(out + pos + inFile, 0, n - inFile);
            bad = true;
          }
          break;
        }
        case ImageRun::kParent:
          if (parent_) {
            const uint32_t piece = std::max(ss, parent_->TransferSize() / ss * ss);
            for (uint32_t k = 0; k < n;) {
              const uint32_t m = std::min(piece, n - k);
              uint8_t* p = parent_->ReadSectors(int64_t(sector + (pos + k) / ss), m, retryPiece, out + pos + k, true);
              if (!p) return nullptr;
              k += m;
            }
          } else {
            memset(out + pos, 0, n);
          }
          break;
        case ImageRun::kBad:
          bad = true;
          [[fallthrough]];
        case ImageRun::kZeros:
          memset(out + pos, 0, n);
          break;
      }
      pos += n;
    }
    if (pos < inside) {
      memset(out + pos, 0, inside - pos);
      bad = true;
    }
  }
  if (inside < bytes) memset(out + inside, 0, bytes - inside);
  if (bad || ChainErrors() != before) {
    ++consecutiveErrors_;
    ++totalErrors_;
    if (traceIo) TracePrintfA("Zero %I64d %ld bytes: a file of the chain could not be read\n", int64_t(sector),
                              int32_t(bytes));
  } else {
    consecutiveErrors_ = 0;
  }
  return out;
}
