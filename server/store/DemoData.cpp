// The demo staff, cases and needs that `hospd --init-demo` puts into a new database.
#include "store/DemoData.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "store/TableLayout.h"

namespace {

struct DemoPerson {
  std::int64_t seq;
  std::string_view email, staff_number, department, ward, phone, job_title, title, first_name,
      last_name, gender, birth_date, specialty, role, physician_mark;
};

// Lukas Brenner's mark is a lower-case "y" on purpose: the client must accept it as well.
// One demo row a line, as a table reads.
// clang-format off
constexpr std::array<DemoPerson, 5> kPeople{{
    {1001, "anna.weber@hospital.example", "P-10417", "Internal Medicine", "3B", "+49 30 5550 1417",
     "Senior Physician", "Dr.", "Anna", "Weber", "F", "19780312", "Internal Medicine",
     "Physician", "Y"},
    {1002, "lukas.brenner@hospital.example", "P-10522", "General Surgery", "5A",
     "+49 30 5550 1522", "Consultant Surgeon", "Dr.", "Lukas", "Brenner", "M", "19710824",
     "General Surgery", "Physician", "y"},
    {1003, "marie.koch@hospital.example", "N-20388", "Internal Medicine", "3B", "+49 30 5550 2388",
     "Registered Nurse", "", "Marie", "Koch", "F", "19890605", "", "Nurse", "N"},
    {1004, "paul.richter@hospital.example", "P-10301", "Cardiology", "2A", "+49 30 5550 1301",
     "Attending Physician", "Dr.", "Paul", "Richter", "M", "19820119", "Cardiology", "Physician",
     "Y"},
    {1005, "jonas.hoffmann@hospital.example", "P-10108", "Neurology", "4C", "+49 30 5550 1108",
     "Head of Department", "Prof. Dr.", "Jonas", "Hoffmann", "M", "19640930", "Neurology",
     "Physician", "Y"},
}};

struct DemoNeed {
  std::string_view pd12, pc12, pt11;  // description, provider, kind
};

// Some needs lack a description or a provider, as real ones do: the client then shows the next field.
constexpr std::array<DemoNeed, 15> kNeeds{{
    {"Home oxygen concentrator", "Nordwind Medical Supplies", "Equipment"},
    {"Outpatient physiotherapy, twice weekly", "Physio Praxis am Markt", "Therapy"},
    {"Ambulance transport home", "City Ambulance Service", "Transport"},
    {"Home nursing: daily wound dressing", "Lindenhof Home Care", "Nursing"},
    {"Wheelchair", "Becker Medical Supply", "Equipment"},
    {"Rehabilitation clinic place", "Reha-Klinik Seeblick", "Rehabilitation"},
    {"Meals on wheels", "Stadtkueche Meal Service", "Social"},
    {"Hospital bed for home use", "Becker Medical Supply", "Equipment"},
    {"", "Social services consultation", "Social"},
    {"", "", "Follow-up appointment"},
    {"Insulin pen training for relatives", "Diabetes Counselling Centre", "Education"},
    {"Compression stockings fitting", "Becker Medical Supply", "Equipment"},
    {"Speech therapy", "Logopaedie Sommer", "Therapy"},
    {"Walking frame (rollator)", "Becker Medical Supply", "Equipment"},
    {"Anticoagulation check with GP in 3 days", "", "Follow-up"},
}};

struct DemoCase {
  std::int64_t doctor;
  std::string_view surname, given_name, birth_date, ward_room;
  int admitted_days_ago;
  int discharge_in_days;
  std::string_view case_number, destination, approved;
  std::array<int, 5> needs;  // 1-based indexes into kNeeds; 0 ends the list
};

constexpr std::array<DemoCase, 30> kCases{{
    {1001, "Schneider", "Margarete", "19380412", "3B-04", 9, 0, "25004812", "Home with nursing care", "", {4, 8, 7}},
    {1001, "Fischer", "Hans", "19511103", "3B-07", 5, 1, "25004877", "Home", "", {}},
    {1001, "Meyer", "Ingrid", "19440921", "3B-02", 12, 1, "25004790", "Nursing home", "", {3, 9}},
    {1001, "Wagner", "Karl-Heinz", "19470130", "3B-11", 7, 2, "25004901", "Home", "", {1, 15}},
    {1001, "Becker", "Sabine", "19690715", "3B-05", 3, 2, "25004955", "Home", "", {11}},
    {1001, "Schulz", "Dieter", "19420218", "3B-09", 14, 3, "25004688", "Rehabilitation clinic", "", {6, 3, 2, 12, 10}},
    {1001, "Koenig", "Elfriede", "19350603", "3B-01", 10, 3, "25004760", "Home with nursing care", "", {4, 14, 7, 8}},
    {1001, "Zimmermann", "Tobias", "19880927", "3B-12", 2, 4, "25005013", "Home", "", {}},
    {1001, "Braun", "Renate", "19530811", "3B-03", 6, 4, "25004923", "Home", "", {2}},
    {1001, "Krueger", "Walter", "19400105", "3B-08", 8, 5, "25004850", "Nursing home", "", {3, 9, 10}},
    {1001, "Hartmann", "Petra", "19620424", "3B-06", 4, 6, "25004970", "Home", "", {12, 15}},
    {1001, "Lange", "Friedrich", "19460316", "3B-10", 11, 6, "25004735", "Home", "", {}},
    {1001, "Schmitt", "Gisela", "19500708", "3B-04", 10, -1, "25004701", "Home", "Y", {2}},
    {1002, "Werner", "Michael", "19750219", "5A-03", 4, 0, "25005102", "Home", "", {4}},
    {1002, "Schmitz", "Ursula", "19490530", "5A-08", 9, 1, "25005044", "Rehabilitation clinic", "", {6, 3, 14}},
    {1002, "Krause", "Stefan", "19810811", "5A-01", 2, 1, "25005160", "Home", "", {}},
    {1002, "Meier", "Helga", "19410104", "5A-06", 13, 2, "25004998", "Nursing home", "", {3, 8, 4, 9, 7}},
    {1002, "Lehmann", "Jan", "19930317", "5A-11", 1, 3, "25005188", "Home", "", {10}},
    {1002, "Schmid", "Brigitte", "19570926", "5A-05", 6, 4, "25005077", "Home", "", {2, 12}},
    {1002, "Schulze", "Rolf", "19450612", "5A-09", 8, 5, "25005031", "Home with nursing care", "", {4, 14, 15}},
    {1002, "Maier", "Christina", "19720101", "5A-02", 3, 6, "25005133", "Home", "", {}},
    {1005, "Koehler", "Erwin", "19390822", "4C-02", 15, 0, "25004610", "Rehabilitation clinic", "", {6, 13, 3}},
    {1005, "Herrmann", "Monika", "19600403", "4C-05", 5, 1, "25005090", "Home", "", {2, 13}},
    {1005, "Walter", "Gerhard", "19480714", "4C-07", 7, 2, "25005022", "Nursing home", "", {3, 9, 8, 14}},
    {1005, "Mayer", "Anja", "19850228", "4C-01", 2, 3, "25005170", "Home", "", {}},
    {1005, "Kaiser", "Horst", "19430919", "4C-04", 10, 4, "25004840", "Home with nursing care", "", {4, 13, 7, 14, 1}},
    {1005, "Fuchs", "Elke", "19670512", "4C-08", 4, 5, "25005111", "Home", "", {15}},
    {1005, "Peters", "Manfred", "19520130", "4C-03", 6, 6, "25005066", "Home", "", {2}},
    {1004, "Scholz", "Heinz", "19440307", "2A-04", 8, -1, "25004777", "Home", "Y", {1}},
    {1004, "Jung", "Irene", "19590619", "2A-06", 6, -2, "25004822", "Rehabilitation clinic", "Y", {6}},
}};
// clang-format on

constexpr std::int64_t kFirstCaseSeq = 5001;

// YYYYMMDD of the local day `days` after `today`.
std::string DayText(std::time_t today, int days) {
  std::time_t when = today + static_cast<std::time_t>(days) * 86400;
  std::tm local{};
  localtime_r(&when, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

// The 28 values of a Personnel record, by position (PersonnelTable().record_columns).
std::vector<std::string> PersonValues(const DemoPerson& p) {
  const bool physician = p.physician_mark == "Y" || p.physician_mark == "y";
  const std::string extension(p.phone.substr(p.phone.size() - 4));
  const auto text = [](std::string_view value) { return std::string(value); };
  return {
      text(p.email),                                       // 0
      std::to_string(p.seq),                               // 1
      text(p.staff_number),                                // 2
      text(p.department),                                  // 3
      text(p.ward),                                        // 4
      text(p.phone),                                       // 5
      physician ? "Pager " + extension : "",               // 6
      "",                                                  // 7 mobile
      "Room " + text(p.ward) + "-" + extension.substr(2),  // 8
      text(p.job_title),                                   // 9
      text(p.title),                                       // 10
      text(p.first_name),                                  // 11
      "",                                                  // 12 middle name
      text(p.last_name),                                   // 13
      "",                                                  // 14 name suffix
      text(p.gender),                                      // 15
      text(p.birth_date),                                  // 16
      "Klinikallee 1",                                     // 17
      "10115",                                             // 18
      "Berlin",                                            // 19
      physician ? "LANR-" + extension + "0817" : "",       // 20 licence number
      text(p.specialty),                                   // 21
      "20150401",                                          // 22 start date
      "demo",                                              // 23 password
      "20240102",                                          // 24 password changed
      "Y",                                                 // 25 active
      text(p.role),                                        // 26
      text(p.physician_mark),                              // 27
  };
}

std::vector<std::string> CaseValues(std::int64_t seq, const DemoCase& c, std::time_t today) {
  return {std::to_string(seq),
          std::to_string(c.doctor),
          std::string(c.surname),
          std::string(c.given_name),
          std::string(c.birth_date),
          std::string(c.ward_room),
          DayText(today, -c.admitted_days_ago),
          DayText(today, c.discharge_in_days),
          std::string(c.case_number),
          std::string(c.approved),
          std::string(c.destination)};
}

std::vector<std::string> NeedValues(std::int64_t case_seq, const DemoNeed& need) {
  return {std::to_string(case_seq), std::string(need.pd12), std::string(need.pc12),
          std::string(need.pt11)};
}

}  // namespace

DemoRecords MakeDemoRecords(std::time_t today) {
  DemoRecords records;
  for (const auto& person : kPeople) records.people.push_back(PersonValues(person));
  std::int64_t seq = kFirstCaseSeq;
  for (const auto& demo_case : kCases) {
    records.cases.push_back(CaseValues(seq, demo_case, today));
    for (const int need : demo_case.needs) {
      if (need == 0) break;
      records.needs.push_back(NeedValues(seq, kNeeds[static_cast<std::size_t>(need - 1)]));
    }
    ++seq;
  }
  return records;
}

const std::vector<std::string_view>& DemoNeedColumns() {
  static const std::vector<std::string_view> columns{"CaseSeq", "pd12", "pc12", "pt11"};
  return columns;
}

const std::vector<DemoLogin>& DemoLogins() {
  static const std::vector<DemoLogin> logins{
      {"anna.weber@hospital.example", "demo", "physician, 12 open cases"},
      {"lukas.brenner@hospital.example", "demo", "physician (mark \"y\"), 8 open cases"},
      {"jonas.hoffmann@hospital.example", "demo", "physician, 7 open cases"},
      {"paul.richter@hospital.example", "demo", "physician, no open cases"},
      {"marie.koch@hospital.example", "demo", "nurse, not a physician: login refused"},
  };
  return logins;
}
