#ifndef VELTORA_UPLOADNAMES_H
#define VELTORA_UPLOADNAMES_H

// The names of the failure-log upload, which the programs send and the vendor's log
// service takes: one place, so the two ends cannot drift apart.
namespace UploadNames {

constexpr char path[] = "/api/file.api.php";
constexpr char actionParameter[] = "action";
constexpr char action[] = "putFailedData";

constexpr char keyPart[] = "key";
constexpr char timestampPart[] = "timestamp";
constexpr char namePart[] = "save_name";
constexpr char dataPart[] = "save_data";
// In the order the programs send them.
constexpr const char *parts[] = {keyPart, timestampPart, namePart, dataPart};
constexpr int partCount = 4;

} // namespace UploadNames

#endif
