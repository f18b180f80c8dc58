// The sample library's authors, titles and texts.
//
// Texts are made from templates: "{key}" draws a phrase from the table of that name
// ("{Key}" the same with its first letter made capital, unless a table is named so, as the
// title-case ones are), and the phrases may hold templates of their own, expanded in a few
// bounded passes. Inside any text five marks switch a style on and off: *italic*, #bold#,
// _underlined_, ~struck~ and ^coloured^ (so no phrase uses these characters otherwise);
// plain-text entries drop the marks and keep the words. All phrases are UTF-8 and this project's own; those in a
// table whose name ends in "+" hold characters Windows-1252 lacks and are drawn only into
// RTF texts. The choices come from a small generator seeded by each entry's author and
// number, so every run makes the same library.

#include "tools/sample_texts.h"

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>

#include "tools/library_rtf.h"
#include "tools/veldor_tool.h"

namespace veldor::tool {
namespace {

// ---- Choices ------------------------------------------------------------------------------

// SplitMix64: small, and the same numbers on every machine.
class TRandom {
 public:
  explicit TRandom(uint64_t seed) : State_(seed) {}
  uint64_t Next() {
    uint64_t z = (State_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number from 0 to n - 1 (n > 0).
  size_t Below(size_t n) { return size_t(Next() % n); }
  // A number from low to high, both included.
  int Between(int low, int high) { return low + int(Below(size_t(high - low + 1))); }
  bool Chance(int percent) { return int(Below(100)) < percent; }

 private:
  uint64_t State_;
};

uint64_t Seed(std::string_view text, uint64_t number) {
  uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
  for (char c : text) h = (h ^ uint8_t(c)) * 0x100000001B3ull;
  return h ^ (number * 0x9E3779B97F4A7C15ull);
}

// ---- Phrase tables ------------------------------------------------------------------------

using TTable = std::vector<std::string_view>;

const std::map<std::string_view, TTable>& Tables() {
  static const std::map<std::string_view, TTable> tables = {
      // -- people and places of the stories
      {"name",
       {"Ada", "Tomas", "Mrs Fenn", "old Bertil", "the ferryman", "Noor", "Kasimir", "the schoolmistress", "Ilse",
        "Jory", "Mr Pellow", "Agnete", "the youngest Haskell girl", "Wim", "Aunt Solveig", "the lamp-man",
        "Rosalind", "the postman's widow", "Edda", "Benedek", "Mother", "the lodger", "Corin", "Halla"}},
      {"name+", {"Łucja", "old Szőke", "Bořek", "Dagný's cousin Ōdvin", "Mrs Kaźmierczak"}},
      {"town", {"Kell", "Ostbridge", "Marrowdene", "Larrowick", "Sollenby", "Hallam Quay", "Jönsby", "Wendle"}},
      {"town+", {"Białowo", "Třeměšek"}},
      {"place",
       {"the ferry landing", "the upper orchard", "the lighthouse at {town}", "the market in {town}",
        "the salt marsh", "the station café", "the back room of the bakery", "the reading room",
        "the quarry road", "the mill pond", "the empty schoolhouse", "the harbour wall",
        "the attic above the post office", "the chapel steps", "the allotments behind the brewery",
        "the end of the long pier", "the churchyard gate", "the signal box", "the bathing huts",
        "the top of the bell tower"}},
      {"time",
       {"in the last week of October", "before the thaw", "on the morning of the fair", "when the tide turned",
        "long after midnight", "that spring", "on the first cold evening", "every Sunday", "three winters later",
        "at the hour the lamps were lit", "the day the bridge reopened", "during the long wet August",
        "before anyone else was awake", "on the eve of the regatta", "in the week of the great fog"}},
      {"action",
       {"mended the torn sail", "counted the boats in the harbour", "read the letter _twice_",
        "carried the lantern down to {place}", "wound the old clock on the landing",
        "planted a row of pear trees", "painted the door a shade of ^blue^", "kept the key under a stone",
        "lost the map of the marsh", "sang to the goats", "sold the piano at last",
        "wrote a name on the frosted window", "waited for the post", "buried the broken compass",
        "found a drowned bell in the reeds", "rowed out to the marker buoy", "baked bread for the whole street",
        "took down the old weathervane", "wrote *do not open* on the lid of the box",
        "swept the steps of {place}", "hung the washing out against the weather"}},
      {"feeling",
       {"and felt, for a moment, entirely unafraid", "though nobody had asked", "as if the house were listening",
        "without knowing why", "and the whole street seemed to hold its breath",
        "because it was the only thing left to do", "and regretted it at once", "humming a tune from the war",
        "and did not tell a soul", "as carefully as if it were a promise"}},
      {"observation",
       {"The wind came in off the water smelling of tar and rain.",
        "Somewhere a dog barked twice and then thought better of it.",
        "The light lay on the table like a folded cloth.", "Gulls argued over the roofs.",
        "The kettle began its small complaint.", "Rain ticked against the glass, patient as a clerk.",
        "Down at {place} the fishermen were already shouting about the price of herring.",
        "The clock on the landing was eleven minutes fast, as it had always been.",
        "A cart went by with a load of slates, rattling like loose teeth.",
        "The tide had left a line of weed along the wall, neat as handwriting.",
        "In the orchard the pears were coming ripe all at once, the way they do.",
        "Smoke stood straight up from every chimney in {town}.",
        "The café by the station had put its chairs out, though it was far too cold.",
        "Nothing moved on the marsh but the shadows of clouds."}},
      {"done",
       {"been down to the harbour", "opened the piano", "spoken of the ferry", "written to a brother",
        "climbed the bell tower", "worn the green coat", "set foot in {town}", "played cards with the lodger",
        "taken the long way home", "looked at the old photographs"}},
      {"event",
       {"the storm of the year before", "the fair burned down", "the bridge was closed", "the ferry sank",
        "the schoolhouse shut its doors", "the great fog of 1911", "the summer of the drought",
        "the wedding that never happened", "the lighthouse went dark"}},
      {"memory",
       {"the winter the canal froze", "a blue coat hanging on a nail", "the sound of oars in fog",
        "an argument about pears", "a lamp left burning in an empty room", "the smell of the bakery at five",
        "a song about a drowned bell", "the first letter that ever came for them", "a map drawn on a napkin",
        "the night the cows got into the churchyard"}},
      {"reaction",
       {"smiled anyway", "said nothing", "put the kettle on again", "went out to look at the sky",
        "laughed out loud in the empty kitchen", "began, very slowly, to sweep the floor",
        "wrote it down before it could go", "closed the window against it"}},
      {"object",
       {"a basket of eggs", "a borrowed umbrella", "the ledger from the ferry office", "a jar of plum jam",
        "two letters and a parcel", "a lantern with a cracked glass", "a loaf still warm from the oven",
        "the key to the signal box", "a coil of new rope", "a photograph in a tin frame"}},
      {"evening",
       {"every sound carries across the water", "the lamps come on one by one along the quay",
        "the swallows fly low over the fields", "nobody wants to be the first to go indoors",
        "the church bells seem to ring from further away than usual"}},
      {"adj",
       {"quiet", "borrowed", "salt-grey", "unfinished", "patient", "amber", "crooked", "narrow", "silver", "late",
        "small", "heavy", "bright", "unlit", "drowned", "hidden", "paper-thin", "cold"}},
      {"noun",
       {"lantern", "harbour", "orchard", "ferry", "kettle", "staircase", "violin", "doorway", "letter", "river",
        "bell", "window", "pear tree", "shoreline", "chimney", "sparrow", "rope", "candle", "ledger", "compass",
        "weathervane", "glasshouse", "mill pond", "clock"}},
      {"plural",
       {"lanterns", "swallows", "boats", "letters", "hours", "pears", "bells", "stones", "tides", "evenings",
        "keys", "winters", "oars", "gulls"}},
      // -- dialogue
      {"line",
       {"We should have left before the rain", "Nobody keeps a promise like that", "The boat will not wait for us",
        "I counted them twice and there were still eleven", "You have your grandmother's hands",
        "It is only the wind in the chimney", "Leave the lamp on for a while",
        "Nothing was ever lost in this house, only put somewhere safe", "I said ~Tuesday~, I meant Wednesday",
        "The tide is turning, can you hear it", "There is soup if you want it", "That is not how the story goes"}},
      {"line2",
       {"Someone may be coming.", "Go on, then.", "I was never any good at waiting.", "Tell me again how it ended.",
        "It will keep until morning…", "That was years ago.", "Nobody asked you.", "Look, the lamps are lit.",
        "I’d rather walk.", "We’ll see."}},
      {"question",
       {"Is it still there?", "Did you hear the bell?", "Who taught you to row like that?",
        "Will you write this time?", "Do you remember the name of the boat?", "Was that the last ferry?",
        "Why is the door open?"}},
      {"narrative",
       {"{Time}, {name} {action}.", "{Time}, {name} {action}, {feeling}.", "{observation}",
        "{Name} had not {done} since {event}.", "{Name} thought of {memory}, and {reaction}.",
        "Nobody in {town} could say who had first {action}.", "{Name} went down to {place} with {object}.",
        "There was a {adj} {noun} on the table, and beside it {object}.",
        "It was the kind of evening when {evening}.", "At {place} the {noun} was {adj} again.",
        "{Name} {action}; {name} watched from {place}.", "Later, much later, {name} would remember {memory}."}},
      {"dialogue",
       {"“{Line},” said {name}.", "“{Line},” {name} said. “{Line2}”", "“{Question}” asked {name}.",
        "{Name} laughed. “{Line2}”", "“{Question}” — “{Line2}”"}},
      // -- poems
      {"verse",
       {"the {adj} {noun} of {short}", "I kept the {noun} you left me", "and the {noun} remembers {thing}",
        "where the {plural} go {when}", "{adj} as a {noun} in {season}", "nobody counts the {plural}",
        "the {noun} is {adj} tonight", "we walked as far as {short}", "and all the {plural} were {adj}",
        "I have no name for the {noun}", "so the {plural} come home {when}", "light on the {noun}, light on {short}",
        "what is a {noun} but {thing}", "the {plural} are singing of {short}"}},
      {"verse+",
       {"and the bell said λόγος, λόγος, over the water", "♪ the {plural} go {when} ♪",
        "the {noun} → the {noun} → {short}"}},
      {"short",
       {"the mill", "the marsh", "Kell", "the north road", "the far shore", "the station", "Marrowdene",
        "the orchard wall", "the harbour", "the river mouth"}},
      {"when",
       {"in winter", "after dark", "at the turning of the year", "when no one watches", "before the rain",
        "at first light", "in their own good time"}},
      {"thing",
       {"every name we gave it", "the weight of our coats", "the colour of your voice", "the road home",
        "what the river said", "a promise kept too long", "the last of the summer", "a door left open"}},
      {"season", {"spring", "August", "the frost", "late summer", "the thaw", "November"}},
      {"refrain",
       {"^*and still the {noun} keeps its light*^", "^*and the {plural} go on, and the {plural} go on*^",
        "^*say it again, say it {when}*^"}},
      // -- letters
      {"letterline",
       {"Thank you for {gift}, which arrived {arrived}.", "The house is {adj} without you, and the cat has taken your chair.",
        "I _must_ tell you about {news}.", "On ~{weekday}~ {weekday} we walked as far as {place}.",
        "Write soon, and tell me everything about {theirnews}.", "{Family} sends {familygift}.",
        "The weather has been {weather}.", "{observation}", "I have been reading {bookish}, which you would like.",
        "Do you remember {memory}?", "I am sorry this is so short; the post goes at four.",
        "You would hardly know {town} now, though {place} is just as it was."}},
      {"letterline+",
       {"The new sign at the station says {town} → {town+}, which made everybody laugh.",
        "Our neighbour Łucja asks to be remembered to you."}},
      {"gift",
       {"the parcel", "the pears", "your long letter", "the book of tide tables", "the scarf", "the photographs",
        "the seeds", "the jar of honey"}},
      {"arrived",
       {"safely, if a little squashed", "on the wettest day of the year", "just as we sat down to supper",
        "three weeks late but none the worse", "with the string still tied in your knot"}},
      {"news",
       {"the new ferry", "the Haskells' wedding", "the fire at the mill", "the schoolmistress's bicycle",
        "what the lodger found in the attic", "the election of the harbour board", "the goat"}},
      {"weekday", {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"}},
      {"theirnews",
       {"the city", "your new rooms", "the work at the museum", "the people you lodge with", "the sea crossing"}},
      {"family", {"Mother", "Father", "Aunt Solveig", "Grandfather", "Everyone here"}},
      {"familygift",
       {"her love and a recipe for plum jam", "his regards and a warning about the winter",
        "a pair of socks, which I am told you will need", "more love than this letter can carry"}},
      {"weather",
       {"wild, with the sea over the harbour wall twice", "so still the smoke stands up like posts",
        "wet, wet and again wet", "bright and cold and entirely without mercy", "kind, for once"}},
      {"bookish",
       {"an old almanac of tides", "a book of Kell recipes", "the minutes of the parish council for 1887–1902",
        "a guide to the birds of the marsh", "a novel about a lighthouse, which ends badly"}},
      {"recipient", {"Marthe", "Brother", "Mr Haskell", "old friend", "Ines", "Cousin Jory", "my dear Noé"}},
      {"closing", {"With love,", "Yours ever,", "Until the spring,", "In haste,", "As always,"}},
      {"postscript",
       {"I have kept the blue coat for you.", "The café by the station has closed – or so they say.",
        "Burn this letter, or at least do not show it to Aunt Solveig.", "The pears are ripe. Come home.",
        "I found your compass. It still points north, more or less."}},
      {"telegram",
       {"ARRIVING THURSDAY STOP BRING THE BLUE COAT STOP", "FERRY CANCELLED STOP ALL WELL STOP WRITE",
        "SOLD THE PIANO STOP DO NOT ASK STOP"}},
      // -- essays
      {"essayline",
       {"It is often said that {claim}; I am not so sure.", "Consider {example}.", "{Claim}, and yet {counter}.",
        "Nothing about {topic} is simple, least of all {aspect}.", "What we call {topic} is perhaps only {redef}.",
        "Between {years} the question hardly came up at all.", "#{Topic}#, in the end, is a matter of {matter}.",
        "I once asked {expert} about this, and the answer was a long silence.",
        "The word ^{topic}^ deserves better than it gets.", "{observation}",
        "There is a _difference_ between {topic} and {topic}, though it is easy to miss.",
        "Let us be honest: {claim}."}},
      {"essayline+",
       {"The Greeks had a word, λόγος, for something close to this.",
        "A friend from {town+} calls it by another name entirely, which I cannot spell."}},
      {"claim",
       {"a letter is a conversation with the clock stopped", "every town keeps one secret it has forgotten",
        "maps are a kind of promise", "patience is a form of attention", "the sea is the oldest archive",
        "kitchens remember more than libraries", "a good walk has no destination",
        "nobody has ever finished mending anything", "weather is the only news that never lies"}},
      {"counter",
       {"the evidence points the other way", "nobody has ever managed to prove it",
        "the exceptions are more interesting than the rule", "most of us live as though the opposite were true",
        "I keep finding that it is not so"}},
      {"topic",
       {"waiting", "handwriting", "small harbours", "borrowed books", "winter light", "mending", "names",
        "weather", "silence", "bee-keeping", "maps", "kitchens", "bridges", "lists", "clocks", "forgetting"}},
      {"aspect",
       {"its beginning", "the part nobody mentions", "what it costs", "how it ends", "who pays for it"}},
      {"example",
       {"the ferryman who rows the same crossing four hundred times a year",
        "a kitchen clock that runs eleven minutes fast", "the pear tree that fruits only every other summer",
        "a bridge built twice in the same place", "the schoolmistress who kept every exercise book since 1890",
        "a lighthouse that has not been lit for thirty years"}},
      {"redef",
       {"a habit we have stopped noticing", "a kind of courtesy", "the shape of a long afternoon",
        "what is left when the arguing stops", "a story we tell the children"}},
      {"matter", {"practice", "luck", "good shoes", "temperament", "weather", "who is listening"}},
      {"expert",
       {"a lighthouse keeper", "the oldest bookbinder in {town}", "my aunt, who kept bees for forty years",
        "a ferryman", "the man who winds the church clock"}},
      {"years", {"1871 and 1880", "1902 and 1911", "the two wars", "the fire and the flood"}},
      // -- titles (title case)
      {"TAdj",
       {"Quiet", "Borrowed", "Salt-Grey", "Unfinished", "Patient", "Amber", "Crooked", "Narrow", "Silver",
        "Late", "Small", "Heavy", "Bright", "Unlit", "Lent", "Drowned", "Second", "Hidden", "Winter", "Paper"}},
      {"TNoun",
       {"Lantern", "Harbour", "Orchard", "Ferry", "Kettle", "Staircase", "Violin", "Doorway", "Letter", "River",
        "Bell", "Window", "Pear Tree", "Shoreline", "Chimney", "Sparrow", "Rope", "Candle", "Ledger", "Compass",
        "Weathervane", "Glasshouse", "Signal Box", "Mill Pond", "Clock", "Station Café", "Bakery", "Regatta"}},
      {"TPlural",
       {"Lanterns", "Swallows", "Boats", "Letters", "Hours", "Pears", "Bells", "Stones", "Tides", "Evenings",
        "Keys", "Winters", "Oars", "Crossings"}},
      {"TPlace",
       {"Kell", "Ostbridge", "Marrowdene", "Larrowick", "Sollenby", "the Marsh", "the North Road", "the Mill",
        "Hallam Quay", "Jönsby", "Wendle", "the Far Shore"}},
      {"TNumber", {"Three", "Seven", "Eleven", "Nine", "Twelve", "Forty"}},
      {"TSeason", {"Spring", "August", "Winter", "Late Summer", "Thaw", "November"}},
      {"TTopic",
       {"Waiting", "Handwriting", "Small Harbours", "Borrowed Books", "Winter Light", "Mending", "Names",
        "Weather", "Silence", "Bees", "Maps", "Kitchens", "Bridges", "Lists", "Clocks", "Forgetting", "Ferries"}},
      {"TSpan", {"1889–1894", "1902–1911", "1920–1923", "1931–1936"}},
      {"story_title",
       {"The {TAdj} {TNoun}", "{TNoun} at {TPlace}", "What the {TNoun} Kept", "The Last {TNoun}", "{TNumber} {TPlural}",
        "The {TNoun} and the {TNoun}", "Before the {TNoun}", "A {TNoun} in {TPlace}", "The {TAdj} {TPlural}",
        "Nobody's {TNoun}", "The {TNoun} Keeper", "Stories from {TPlace}"}},
      {"poem_title",
       {"Songs from {TPlace}", "{TSeason} Poems", "Lines for a {TAdj} {TNoun}", "Elegy for a {TNoun}",
        "{TNumber} Poems of {TPlace}", "Small Hours at {TPlace}", "The {TNoun}: A Sequence", "{TAdj} {TPlural}",
        "Psalm for a {TNoun}", "Rounds and Refrains"}},
      {"letter_title",
       {"Letters to {TRecipient}", "A Letter from {TPlace}", "Letters from {TPlace}, {TSpan}", "To {TRecipient}, in Haste",
        "Postcards from {TPlace}", "The {TNoun} Letters"}},
      {"TRecipient", {"Marthe", "My Brother", "Mr Haskell", "an Old Friend", "Ines", "Cousin Jory", "Noé"}},
      {"essay_title",
       {"On {TTopic}", "Notes on {TTopic}", "In Praise of {TTopic}", "Against {TTopic}", "A Short Defence of {TTopic}",
        "{TTopic} and {TTopic}", "Some Thoughts on {TTopic}"}},
      {"chapter",
       {"The Ledger", "High Water", "A Name in Pencil", "The Fair", "Fog", "What the Ferryman Owed", "Crossing",
        "The Lamp at Kell", "Spring Tides", "Accounts Settled", "The Drowned Bell", "Lodgers"}},
      {"epigraph",
       {"What the tide takes, the tide may keep.", "Every door is a question somebody forgot to answer.",
        "I wrote it all down, and still it happened.", "The pears were never ours; we only kept them.",
        "A harbour is a promise made in stone.", "Count the boats. Then count them again.",
        "Nothing is lost; it is only somewhere else.", "Say it plainly, and say it once."}},
  };
  return tables;
}

const TTable& Table(std::string_view key) {
  const auto& tables = Tables();
  auto found = tables.find(key);
  if (found == tables.end()) throw std::logic_error("no phrase table '" + std::string(key) + "'");
  return found->second;
}

// The text with every "{key}" replaced, in at most four passes (phrases hold templates of
// their own only a level or two deep). `rich` lets the "+" tables in.
std::string Expand(std::string_view pattern, TRandom& random, bool rich) {
  std::string text(pattern);
  for (int pass = 0; pass < 4 && text.find('{') != std::string::npos; ++pass) {
    std::string out;
    size_t at = 0;
    for (size_t open; (open = text.find('{', at)) != std::string::npos;) {
      const size_t close = text.find('}', open);
      if (close == std::string::npos) throw std::logic_error("an open '{' in '" + text + "'");
      out.append(text, at, open - at);
      std::string key = text.substr(open + 1, close - open - 1);
      const bool titleTable = Tables().count(key) > 0;
      const bool capital = !titleTable && key[0] >= 'A' && key[0] <= 'Z';
      if (capital) key[0] = char(key[0] - 'A' + 'a');
      const TTable* table = &Table(key);
      const auto richTable = Tables().find(key + "+");
      if (rich && richTable != Tables().end() && random.Chance(12)) table = &richTable->second;
      std::string phrase((*table)[random.Below(table->size())]);
      if (capital && !phrase.empty() && phrase[0] >= 'a' && phrase[0] <= 'z') phrase[0] = char(phrase[0] - 'a' + 'A');
      out += phrase;
      at = close + 1;
    }
    out.append(text, at, std::string::npos);
    text = std::move(out);
  }
  if (text.find('{') != std::string::npos) throw std::logic_error("templates nested too deeply: " + text);
  return text;
}

std::string Draw(std::string_view key, TRandom& random, bool rich) {
  return Expand("{" + std::string(key) + "}", random, rich);
}

// ---- Documents ----------------------------------------------------------------------------

constexpr std::string_view kFonts =
    "{\\f0\\froman\\fcharset0 DejaVu Serif;}{\\f1\\fswiss\\fcharset0 DejaVu Sans;}"
    "{\\f2\\fmodern\\fcharset0 DejaVu Sans Mono;}";
constexpr std::string_view kColours = ";\\red128\\green0\\blue32;\\red0\\green70\\blue140;\\red30\\green110\\blue50;";

// One text being written: as RTF (`rich`) or as plain text, and beside it the text a
// reader sees, in UTF-8, for counting its words.
class TDocument {
 public:
  explicit TDocument(bool rich) : Rich_(rich) {
    if (Rich_) Rtf_ = RtfPrologue(kFonts, kColours);
  }
  bool Rich() const { return Rich_; }

  void Title(std::string_view text) { Block("\\qc\\sb240\\sa240\\b\\f1\\fs36", text, ""); }
  void Subtitle(std::string_view text) { Block("\\qc\\sa360\\i\\fs24", text, ""); }
  void Epigraph(std::string_view text, std::string_view source) {
    Block("\\li2880\\ri720\\sa60\\i", text, "        ");
    Block("\\qr\\ri720\\sa360\\fs20", "— " + std::string(source), "        ");
  }
  void Heading(std::string_view text) { Block("\\sb360\\sa120\\keepn\\b\\f1\\fs26", text, ""); }
  void Paragraph(std::string_view text) { Block("\\fi360\\sa120", text, ""); }
  void Flush(std::string_view text) { Block("\\sa120", text, ""); }
  void Right(std::string_view text) { Block("\\qr\\sa240", text, ""); }
  void Centred(std::string_view text) { Block("\\qc\\sb120\\sa120", text, ""); }
  void Signature(std::string_view text) { Block("\\li4320\\sa240\\i", text, "                "); }
  void Mono(std::string_view text) { Block("\\li720\\sa120\\f2\\fs20", text, "    "); }
  // Lines of verse kept together by \line, the stanza indented.
  void Stanza(const std::vector<std::string>& lines, bool deeper) {
    Open(deeper ? "\\li1440\\sa200" : "\\li720\\sa200");
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) {
        if (Rich_) Rtf_ += "\\line\n";
        Plain_ += "\n";
        Seen_ += "\n";
      }
      if (!Rich_) Plain_ += deeper ? "        " : "    ";
      Runs(lines[i]);
    }
    Close();
  }

  // The stored form: RTF (7-bit ASCII), or the plain text in Windows-1252.
  std::string Finish() const {
    if (Rich_) return Rtf_ + "}\n";
    return Stored(Plain_, "a sample text");
  }
  const std::string& Seen() const { return Seen_; }

 private:
  void Open(std::string_view properties) {
    if (Rich_) {
      Rtf_ += "{\\pard";
      Rtf_ += properties;
      Rtf_ += ' ';
    } else if (!Plain_.empty()) {
      Plain_ += "\n\n";
    }
    if (!Seen_.empty()) Seen_ += "\n";
  }
  void Close() {
    if (Rich_) Rtf_ += "\\par}\n";
  }
  void Block(std::string_view properties, std::string_view text, std::string_view plainIndent) {
    Open(properties);
    if (!Rich_) Plain_ += plainIndent;
    Runs(text);
    Close();
  }

  // Text with style marks: each mark switches its style; a run of text in one set of
  // styles becomes one RTF group.
  void Runs(std::string_view text) {
    static constexpr std::string_view kMarks = "*#_~^";
    static constexpr const char* kControls[] = {"\\i", "\\b", "\\ul", "\\strike", "\\cf"};
    bool on[5] = {};
    std::string run;
    auto flush = [&] {
      if (run.empty()) return;
      Seen_ += run;
      if (!Rich_) {
        Plain_ += run;
      } else {
        bool styled = false;
        std::string controls;
        for (int s = 0; s < 5; ++s) {
          if (!on[s]) continue;
          styled = true;
          controls += kControls[s];
          if (s == 4) controls += std::to_string(Colour_);
        }
        if (styled) Rtf_ += "{" + controls + " ";
        if (!AppendRtfUtf8(Rtf_, run)) throw std::logic_error("a phrase is not UTF-8: " + run);
        if (styled) Rtf_ += "}";
      }
      run.clear();
    };
    for (char c : text) {
      const size_t mark = kMarks.find(c);
      if (mark == std::string_view::npos) {
        run += c;
        continue;
      }
      flush();
      on[mark] = !on[mark];
      if (mark == 4 && on[mark]) Colour_ = Colour_ % 3 + 1;  // the three colours in turn
    }
    flush();
  }

  bool Rich_;
  int Colour_ = 0;
  std::string Rtf_;
  std::string Plain_;
  std::string Seen_;
};

// ---- Kinds of text ------------------------------------------------------------------------

enum class TKind { Story, Poem, Letter, Essay, Novella };

struct TAuthor {
  const char* Surname;  // UTF-8, as people write it
  const char* FirstName;
  int Works;
  // Weights of story, poem, letter and essay among the author's works.
  int Weights[4];
  bool Novelist = false;  // the first work is the long one
};

// Invented authors, across every letter; some share a surname, some carry letters with
// accents (all of them Windows-1252 characters), one writes under a surname alone.
const std::vector<TAuthor>& Authors() {
  static const std::vector<TAuthor> authors = {
      {"Ambrelle", "Odile", 5, {3, 1, 1, 0}},         {"Aschworth", "Tobin", 4, {1, 0, 0, 3}},
      {"Åberg", "Linnea", 4, {0, 4, 0, 0}},           {"Arkwell", "Mira", 5, {2, 1, 2, 1}},
      {"Brisko", "Halvard", 5, {4, 0, 0, 1}},         {"Bellamont", "Ysolde", 4, {0, 3, 1, 0}},
      {"Bellamont", "Corin", 4, {2, 0, 2, 0}},        {"Brüchner", "Anselm", 4, {0, 0, 1, 3}},
      {"Bastorre", "Pell", 3, {1, 1, 1, 1}},          {"Corrigan-Vale", "Nessa", 4, {3, 1, 0, 0}},
      {"Çevrel", "Ayla", 4, {0, 3, 1, 0}},            {"Castellane", "Rue", 5, {2, 2, 1, 0}},
      {"Crobie", "Wendeline", 5, {1, 0, 3, 1}},       {"Dunmarrow", "Edwy", 5, {3, 0, 0, 2}},
      {"Drossel", "Ines", 5, {0, 4, 1, 0}},           {"d'Aubrière", "Lucien", 4, {1, 1, 0, 2}},
      {"Ensworth", "Garnet", 5, {3, 1, 1, 0}},        {"Éverard", "Solène", 5, {0, 3, 2, 0}},
      {"Faircloud", "Benedikt", 4, {2, 0, 0, 2}},     {"Fenwarde", "Tamsin", 4, {1, 3, 0, 0}},
      {"Fröhlke", "Dita", 4, {2, 0, 2, 0}},           {"Graymantle", "Osric", 5, {4, 0, 0, 1}},
      {"Grünau", "Hilde", 4, {0, 2, 2, 0}},           {"Gaspardin", "Noé", 5, {1, 1, 1, 2}},
      {"Hesketh-Moor", "Arlo", 4, {3, 0, 1, 0}},      {"Haverlund", "Sigrid", 4, {0, 4, 0, 0}},
      {"Haverlund", "Jonas", 4, {2, 0, 0, 2}},        {"Hüll", "Petronella", 4, {1, 1, 2, 0}},
      {"Ilvane", "Cosmo", 3, {2, 1, 0, 0}},           {"Isbrandt", "Thea", 3, {0, 1, 0, 2}},
      {"Jessamy", "Orla", 4, {2, 2, 0, 0}},           {"Járnvik", "Eskil", 4, {3, 0, 0, 1}},
      {"Kestrevan", "Ludo", 4, {2, 0, 2, 0}},         {"Kormoran", "Vera", 4, {0, 4, 0, 0}},
      {"Klippe", "Aurel", 4, {1, 0, 0, 3}},           {"Lindqvale", "Ebba", 5, {3, 2, 0, 0}},
      {"Larkspur", "Fennimore", 4, {0, 2, 2, 0}},     {"Lévesquin", "Margaux", 4, {2, 0, 1, 1}},
      {"Lusk", "Piran", 3, {1, 2, 0, 0}},             {"Marrowby", "Constance", 5, {2, 0, 3, 0}},
      {"Méroux", "Bastien", 4, {0, 3, 0, 1}},         {"Mossgrove", "Idris", 5, {4, 1, 0, 0}},
      {"Mossgrove", "Ottilie", 4, {0, 2, 2, 0}},      {"Nethercott", "Wren", 4, {3, 1, 0, 0}},
      {"Ñuñorco", "Paloma", 4, {0, 3, 1, 0}},         {"Ødegaard", "Sunniva", 4, {2, 2, 0, 0}},
      {"Orrin-Blake", "Cass", 4, {1, 0, 1, 2}},       {"Pellinore", "Agathe", 4, {2, 1, 1, 0}},
      {"Quillery", "Basile", 4, {0, 0, 1, 3}},        {"Quarrenden", "Maud", 4, {3, 1, 0, 0}},
      {"Pårup", "Henrike", 4, {0, 3, 1, 0}},          {"Rosmerholt", "Ivo", 5, {3, 0, 0, 2}},
      {"Rackwether", "Delphine", 5, {1, 2, 2, 0}},    {"Rüegg", "Oda", 4, {0, 4, 0, 0}},
      {"Sallowmere", "Anouk", 6, {3, 1, 1, 0}, true}, {"Stenhavn", "Ilse", 6, {2, 2, 1, 1}},
      {"Stenhavn", "Oskar", 5, {3, 0, 0, 2}},         {"Séverac", "Clément", 5, {0, 3, 2, 0}},
      {"Šimek", "Radka", 5, {2, 2, 1, 0}},            {"Sorrowby", "Tuck", 5, {4, 1, 0, 0}},
      {"Spindlewood", "Hester", 6, {1, 1, 3, 1}},     {"Sundqvist-Aro", "Minna", 6, {1, 3, 0, 2}},
      {"Thistlecombe", "Edmund", 4, {2, 0, 0, 2}},    {"Þórsey", "Hekla", 4, {1, 3, 0, 0}},
      {"Ulvestad", "Rune", 3, {2, 1, 0, 0}},          {"Vantongeren", "Lise", 4, {0, 1, 3, 0}},
      {"Voss-Ambry", "Kit", 3, {1, 0, 0, 2}},         {"Wexcombe", "Harriet", 4, {2, 1, 1, 0}},
      {"Xerrano", "Ilario", 3, {0, 3, 0, 0}},         {"Ymberlin", "", 3, {1, 2, 0, 0}},
      {"Zawadil", "Eero", 3, {2, 0, 0, 1}},           {"Žarnovec", "Milena", 3, {0, 2, 1, 0}},
  };
  return authors;
}

// `count` sentences drawn from one table; a sentence the paragraph already has is drawn
// again (a few times at most).
std::string Sentences(std::string_view key, int count, TRandom& random, bool rich) {
  std::set<std::string> drawn;
  std::string text;
  for (int i = 0; i < count; ++i) {
    std::string sentence = Draw(key, random, rich);
    for (int again = 0; again < 4 && drawn.count(sentence) > 0; ++again) sentence = Draw(key, random, rich);
    drawn.insert(sentence);
    if (i > 0) text += ' ';
    text += sentence;
  }
  return text;
}

// Someone else in the library, as an epigraph names them.
std::string SomeAuthor(const TAuthor& self, TRandom& random) {
  const std::vector<TAuthor>& authors = Authors();
  for (;;) {
    const TAuthor& a = authors[random.Below(authors.size())];
    if (&a == &self) continue;
    return *a.FirstName ? std::string(a.FirstName) + " " + a.Surname : std::string(a.Surname);
  }
}

void StoryBody(TDocument& doc, TRandom& random, int paragraphs) {
  for (int p = 0; p < paragraphs; ++p) {
    if (p > 0 && random.Chance(7)) doc.Centred("·   ·   ·");
    std::string text;
    if (p > 0 && random.Chance(35)) {
      // A conversation, framed by the narration around it.
      text = Draw("narrative", random, doc.Rich()) + " " + Sentences("dialogue", random.Between(1, 3), random, doc.Rich());
    } else {
      text = Sentences("narrative", random.Between(3, 6), random, doc.Rich());
    }
    doc.Paragraph(text);
  }
}

void Story(TDocument& doc, TRandom& random, const TAuthor& author, const std::string& title) {
  doc.Title(title);
  doc.Subtitle(random.Chance(50) ? "a story" : "a tale of " + Draw("town", random, false));
  if (random.Chance(35)) doc.Epigraph(Draw("epigraph", random, false), SomeAuthor(author, random));
  StoryBody(doc, random, random.Between(6, 13));
}

void Novella(TDocument& doc, TRandom& random, const TAuthor& author, const std::string& title) {
  static const char* const kOrdinals[] = {"One", "Two",   "Three", "Four",   "Five",   "Six",
                                          "Seven", "Eight", "Nine", "Ten", "Eleven", "Twelve"};
  doc.Title(title);
  doc.Subtitle("a novella in twelve chapters");
  doc.Epigraph(Draw("epigraph", random, false), SomeAuthor(author, random));
  const TTable& chapters = Table("chapter");
  for (size_t c = 0; c < chapters.size(); ++c) {
    doc.Heading("Chapter " + std::string(kOrdinals[c]) + ": " + std::string(chapters[c]));
    StoryBody(doc, random, random.Between(6, 9));
  }
  doc.Centred("THE END");
}

void Poem(TDocument& doc, TRandom& random, const TAuthor& author, const std::string& title) {
  doc.Title(title);
  if (random.Chance(40)) doc.Epigraph(Draw("epigraph", random, false), SomeAuthor(author, random));
  const bool refrain = random.Chance(50);
  const std::string chorus = refrain ? Draw("refrain", random, false) : "";
  const int stanzas = random.Between(3, 6);
  for (int s = 0; s < stanzas; ++s) {
    std::vector<std::string> lines;
    const int count = random.Between(3, 5);
    for (int l = 0; l < count; ++l) {
      std::string line = Draw("verse", random, doc.Rich());
      if (l == 0) line[0] = char(line[0] >= 'a' && line[0] <= 'z' ? line[0] - 'a' + 'A' : line[0]);
      lines.push_back(line + (l + 1 == count ? "." : ","));
    }
    if (refrain) lines.push_back(chorus);
    doc.Stanza(lines, s % 2 == 1);
  }
}

void Letter(TDocument& doc, TRandom& random, const TAuthor& author, const std::string& title) {
  doc.Title(title);
  const int day = random.Between(1, 27);
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  const std::string date = random.Chance(30) ? std::to_string(day) + "–" + std::to_string(day + 1) : std::to_string(day);
  doc.Right(Draw("town", random, false) + ", " + date + " " + kMonths[random.Below(12)]);
  doc.Flush("Dear " + Draw("recipient", random, false) + ",");
  const int paragraphs = random.Between(3, 6);
  for (int p = 0; p < paragraphs; ++p) {
    doc.Paragraph(Sentences("letterline", random.Between(3, 5), random, doc.Rich()));
    if (random.Chance(10)) doc.Mono("#TELEGRAM#  " + Draw("telegram", random, false));
  }
  doc.Flush(Draw("closing", random, false));
  doc.Signature(*author.FirstName ? author.FirstName : author.Surname);
  if (random.Chance(60)) doc.Flush("P.S. " + Draw("postscript", random, false));
}

void Essay(TDocument& doc, TRandom& random, const TAuthor& author, const std::string& title) {
  static const char* const kSections[] = {"I. The Question", "II. An Objection", "III. A Small Example",
                                          "IV. Conclusions, of a Kind"};
  doc.Title(title);
  if (random.Chance(50)) doc.Epigraph(Draw("epigraph", random, false), SomeAuthor(author, random));
  const int sections = random.Between(2, 4);
  for (int s = 0; s < sections; ++s) {
    doc.Heading(kSections[s]);
    const int paragraphs = random.Between(2, 4);
    for (int p = 0; p < paragraphs; ++p) doc.Paragraph(Sentences("essayline", random.Between(3, 6), random, doc.Rich()));
  }
}

TKind KindOf(const TAuthor& author, int work, TRandom& random) {
  if (author.Novelist && work == 0) return TKind::Novella;
  int total = 0;
  for (int w : author.Weights) total += w;
  int pick = int(random.Below(size_t(total)));
  for (int k = 0; k < 4; ++k) {
    if (pick < author.Weights[k]) return TKind(k);
    pick -= author.Weights[k];
  }
  return TKind::Story;
}

// What the volumes compare in a key: letters and digits, accents and case dropped (the
// primary key ignores both, and this errs on the side of calling two titles the same).
std::string Folded(const std::string& stored) {
  std::string out;
  for (char c : stored) {
    if (c >= '0' && c <= '9') {
      out += c;
    } else if (const char letter = BaseLetter(uint8_t(c)); letter != 0) {
      out += letter;
    }
  }
  return out;
}

}  // namespace

std::vector<TSampleEntry> MakeSampleEntries() {
  std::vector<TSampleEntry> entries;
  std::set<std::string> keys;
  size_t number = 0;
  for (const TAuthor& author : Authors()) {
    const std::string surname = Stored(author.Surname, "a sample surname");
    const std::string firstName = Stored(author.FirstName, "a sample first name");
    for (int work = 0; work < author.Works; ++work, ++number) {
      TRandom random(Seed(std::string(author.Surname) + "," + author.FirstName, uint64_t(work)));
      const TKind kind = KindOf(author, work, random);
      // Titles are drawn again until the author has no other work of that name.
      std::string title;
      std::string key;
      for (int attempt = 0;; ++attempt) {
        switch (kind) {
          case TKind::Story: title = Draw("story_title", random, false); break;
          case TKind::Poem: title = Draw("poem_title", random, false); break;
          case TKind::Letter: title = Draw("letter_title", random, false); break;
          case TKind::Essay: title = Draw("essay_title", random, false); break;
          case TKind::Novella: title = "The Ferryman's Ledger"; break;
        }
        if (attempt >= 20) title += " (" + std::to_string(attempt) + ")";
        key = Folded(surname) + "|" + Folded(firstName) + "|" + Folded(Stored(title, "a sample title"));
        if (keys.count(key) == 0) break;
      }
      keys.insert(key);
      // About one text in eleven is plain, never the novella.
      const bool rich = kind == TKind::Novella || number % 11 != 6;
      TDocument doc(rich);
      switch (kind) {
        case TKind::Story: Story(doc, random, author, title); break;
        case TKind::Poem: Poem(doc, random, author, title); break;
        case TKind::Letter: Letter(doc, random, author, title); break;
        case TKind::Essay: Essay(doc, random, author, title); break;
        case TKind::Novella: Novella(doc, random, author, title); break;
      }
      TSampleEntry entry;
      entry.Entry = {surname, firstName, Stored(title, "a sample title"), doc.Finish()};
      entry.Words = CountWords(doc.Seen());
      entry.Rich = rich;
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

}  // namespace veldor::tool
