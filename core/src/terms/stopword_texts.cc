// The stop-word lists of the term analyzer, one static UTF-8 text per
// language code. A term index records its language and stop-word flag, so
// these words are part of the index format: a reader drops exactly these.
//
// Layout of each text:
//   word 0x0A word 0x0A ... word 0x0A
// words unique and in ascending byte order (so a binary search over the
// split text finds them), lowercase. Some Arabic entries carry combining
// diacritics, which belong to the word, and five contain a space.
#include "terms/stopwords.h"

#include <cassert>

namespace halcyra {
namespace {

// english: 31 words.
constexpr char kEnglish[] =
    "a\n" "an\n" "and\n" "are\n" "as\n" "at\n" "be\n" "but\n" "by\n" "for\n" "from\n" "had\n"
    "has\n" "have\n" "he\n" "in\n" "is\n" "it\n" "its\n" "of\n" "on\n" "or\n" "that\n" "the\n"
    "this\n" "to\n" "was\n" "were\n" "which\n" "will\n" "with\n";

// spanish: 313 words.
constexpr char kSpanish[] =
    "a\n" "al\n" "algo\n" "algunas\n" "algunos\n" "ante\n" "antes\n" "como\n" "con\n" "contra\n"
    "cual\n" "cuando\n" "de\n" "del\n" "desde\n" "donde\n" "durante\n" "e\n" "el\n" "ella\n"
    "ellas\n" "ellos\n" "en\n" "entre\n" "era\n" "erais\n" "eran\n" "eras\n" "eres\n" "es\n" "esa\n"
    "esas\n" "ese\n" "eso\n" "esos\n" "esta\n" "estaba\n" "estabais\n" "estaban\n" "estabas\n"
    "estad\n" "estada\n" "estadas\n" "estado\n" "estados\n" "estamos\n" "estando\n" "estar\n"
    "estaremos\n" "estará\n" "estarán\n" "estarás\n" "estaré\n" "estaréis\n" "estaría\n"
    "estaríais\n" "estaríamos\n" "estarían\n" "estarías\n" "estas\n" "este\n" "estemos\n" "esto\n"
    "estos\n" "estoy\n" "estuve\n" "estuviera\n" "estuvierais\n" "estuvieran\n" "estuvieras\n"
    "estuvieron\n" "estuviese\n" "estuvieseis\n" "estuviesen\n" "estuvieses\n" "estuvimos\n"
    "estuviste\n" "estuvisteis\n" "estuviéramos\n" "estuviésemos\n" "estuvo\n" "está\n"
    "estábamos\n" "estáis\n" "están\n" "estás\n" "esté\n" "estéis\n" "estén\n" "estés\n" "fue\n"
    "fuera\n" "fuerais\n" "fueran\n" "fueras\n" "fueron\n" "fuese\n" "fueseis\n" "fuesen\n"
    "fueses\n" "fui\n" "fuimos\n" "fuiste\n" "fuisteis\n" "fuéramos\n" "fuésemos\n" "ha\n"
    "habida\n" "habidas\n" "habido\n" "habidos\n" "habiendo\n" "habremos\n" "habrá\n" "habrán\n"
    "habrás\n" "habré\n" "habréis\n" "habría\n" "habríais\n" "habríamos\n" "habrían\n" "habrías\n"
    "habéis\n" "había\n" "habíais\n" "habíamos\n" "habían\n" "habías\n" "han\n" "has\n" "hasta\n"
    "hay\n" "haya\n" "hayamos\n" "hayan\n" "hayas\n" "hayáis\n" "he\n" "hemos\n" "hube\n"
    "hubiera\n" "hubierais\n" "hubieran\n" "hubieras\n" "hubieron\n" "hubiese\n" "hubieseis\n"
    "hubiesen\n" "hubieses\n" "hubimos\n" "hubiste\n" "hubisteis\n" "hubiéramos\n" "hubiésemos\n"
    "hubo\n" "la\n" "las\n" "le\n" "les\n" "lo\n" "los\n" "me\n" "mi\n" "mis\n" "mucho\n" "muchos\n"
    "muy\n" "más\n" "mí\n" "mía\n" "mías\n" "mío\n" "míos\n" "nada\n" "ni\n" "no\n" "nos\n"
    "nosotras\n" "nosotros\n" "nuestra\n" "nuestras\n" "nuestro\n" "nuestros\n" "o\n" "os\n"
    "otra\n" "otras\n" "otro\n" "otros\n" "para\n" "pero\n" "poco\n" "por\n" "porque\n" "que\n"
    "quien\n" "quienes\n" "qué\n" "se\n" "sea\n" "seamos\n" "sean\n" "seas\n" "sentid\n" "sentida\n"
    "sentidas\n" "sentido\n" "sentidos\n" "seremos\n" "será\n" "serán\n" "serás\n" "seré\n"
    "seréis\n" "sería\n" "seríais\n" "seríamos\n" "serían\n" "serías\n" "seáis\n" "siente\n" "sin\n"
    "sintiendo\n" "sobre\n" "sois\n" "somos\n" "son\n" "soy\n" "su\n" "sus\n" "suya\n" "suyas\n"
    "suyo\n" "suyos\n" "sí\n" "también\n" "tanto\n" "te\n" "tendremos\n" "tendrá\n" "tendrán\n"
    "tendrás\n" "tendré\n" "tendréis\n" "tendría\n" "tendríais\n" "tendríamos\n" "tendrían\n"
    "tendrías\n" "tened\n" "tenemos\n" "tenga\n" "tengamos\n" "tengan\n" "tengas\n" "tengo\n"
    "tengáis\n" "tenida\n" "tenidas\n" "tenido\n" "tenidos\n" "teniendo\n" "tenéis\n" "tenía\n"
    "teníais\n" "teníamos\n" "tenían\n" "tenías\n" "ti\n" "tiene\n" "tienen\n" "tienes\n" "todo\n"
    "todos\n" "tu\n" "tus\n" "tuve\n" "tuviera\n" "tuvierais\n" "tuvieran\n" "tuvieras\n"
    "tuvieron\n" "tuviese\n" "tuvieseis\n" "tuviesen\n" "tuvieses\n" "tuvimos\n" "tuviste\n"
    "tuvisteis\n" "tuviéramos\n" "tuviésemos\n" "tuvo\n" "tuya\n" "tuyas\n" "tuyo\n" "tuyos\n"
    "tú\n" "un\n" "una\n" "uno\n" "unos\n" "vosotras\n" "vosotros\n" "vuestra\n" "vuestras\n"
    "vuestro\n" "vuestros\n" "y\n" "ya\n" "yo\n" "él\n" "éramos\n";

// arabic: 701 words.
constexpr char kArabic[] =
    "ء\n" "ءَ\n" "آ\n" "آب\n" "آذار\n" "آض\n" "آمينَ\n" "آناء\n" "آنفا\n" "آه\n" "آها\n" "آهاً\n"
    "آهٍ\n" "آهِ\n" "آي\n" "أ\n" "أبدا\n" "أبريل\n" "أبو\n" "أبٌ\n" "أجل\n" "أجمع\n" "أحد\n"
    "أخبر\n" "أخذ\n" "أخو\n" "أخٌ\n" "أربع\n" "أربعاء\n" "أربعة\n" "أربعمئة\n" "أربعمائة\n" "أرى\n"
    "أسكن\n" "أصبح\n" "أصلا\n" "أضحى\n" "أطعم\n" "أعطى\n" "أعلم\n" "أغسطس\n" "أف\n" "أفريل\n"
    "أفعل به\n" "أفٍّ\n" "أقبل\n" "أقل\n" "أكتوبر\n" "أكثر\n" "أل\n" "ألا\n" "ألف\n" "ألفى\n" "أم\n"
    "أما\n" "أمام\n" "أمامك\n" "أمامكَ\n" "أمد\n" "أمس\n" "أمسى\n" "أمّا\n" "أن\n" "أنا\n" "أنبأ\n"
    "أنت\n" "أنتم\n" "أنتما\n" "أنتن\n" "أنتِ\n" "أنشأ\n" "أنى\n" "أنًّ\n" "أنّى\n" "أهلا\n" "أو\n"
    "أوت\n" "أوشك\n" "أول\n" "أولئك\n" "أولاء\n" "أولالك\n" "أوه\n" "أوّهْ\n" "أى\n" "أي\n" "أيا\n"
    "أيار\n" "أيضا\n" "أيلول\n" "أين\n" "أينما\n" "أيها\n" "أيّ\n" "أيّان\n" "أُفٍّ\n" "ؤ\n"
    "إحدى\n" "إذ\n" "إذا\n" "إذاً\n" "إذما\n" "إذن\n" "إزاء\n" "إلا\n" "إلى\n" "إليك\n" "إليكم\n"
    "إليكما\n" "إليكن\n" "إليكنّ\n" "إليكَ\n" "إلَيْكَ\n" "إلّا\n" "إما\n" "إمّا\n" "إن\n" "إنا\n"
    "إنما\n" "إنه\n" "إنَّ\n" "إى\n" "إي\n" "إياك\n" "إياكم\n" "إياكما\n" "إياكن\n" "إيانا\n"
    "إياه\n" "إياها\n" "إياهم\n" "إياهما\n" "إياهن\n" "إياي\n" "إيه\n" "إيهٍ\n" "ئ\n" "ا\n"
    "ابتدأ\n" "اتخذ\n" "اثنا\n" "اثنان\n" "اثني\n" "اثنين\n" "اخلولق\n" "اربعون\n" "اربعين\n"
    "ارتدّ\n" "استحال\n" "الآن\n" "الألاء\n" "الألى\n" "التي\n" "الذي\n" "الذين\n" "اللائي\n"
    "اللاتي\n" "اللتان\n" "اللتيا\n" "اللتين\n" "اللذان\n" "اللذين\n" "اللواتي\n" "انبرى\n"
    "انقلب\n" "ب\n" "بؤسا\n" "بئس\n" "باء\n" "بات\n" "بخ\n" "بخٍ\n" "بس\n" "بسّ\n" "بضع\n" "بطآن\n"
    "بعد\n" "بعدا\n" "بعض\n" "بغتة\n" "بك\n" "بكم\n" "بكما\n" "بكن\n" "بل\n" "بلى\n" "بما\n"
    "بماذا\n" "بمن\n" "بنا\n" "به\n" "بها\n" "بهم\n" "بهما\n" "بهن\n" "بي\n" "بيد\n" "بين\n"
    "بَسْ\n" "بَلْهَ\n" "ة\n" "ت\n" "تاء\n" "تارة\n" "تاسع\n" "تانِ\n" "تانِك\n" "تبدّل\n" "تجاه\n"
    "تحت\n" "تحوّل\n" "تخذ\n" "ترك\n" "تسع\n" "تسعة\n" "تسعمئة\n" "تسعمائة\n" "تسعون\n" "تسعين\n"
    "تشرين\n" "تعسا\n" "تعلَّم\n" "تفعلان\n" "تفعلون\n" "تفعلين\n" "تلقاء\n" "تلك\n" "تلكم\n"
    "تلكما\n" "تموز\n" "ته\n" "تي\n" "تين\n" "تينك\n" "تَيْنِ\n" "تِه\n" "تِي\n" "ث\n" "ثاء\n"
    "ثالث\n" "ثامن\n" "ثان\n" "ثاني\n" "ثلاث\n" "ثلاثاء\n" "ثلاثة\n" "ثلاثمئة\n" "ثلاثمائة\n"
    "ثلاثون\n" "ثلاثين\n" "ثم\n" "ثمان\n" "ثمانمئة\n" "ثمانون\n" "ثماني\n" "ثمانية\n" "ثمانين\n"
    "ثمة\n" "ثمنمئة\n" "ثمَّ\n" "ثمّ\n" "ثمّة\n" "ج\n" "جانفي\n" "جعل\n" "جلل\n" "جمعة\n" "جميع\n"
    "جنيه\n" "جوان\n" "جويلية\n" "جير\n" "جيم\n" "ح\n" "حاء\n" "حادي\n" "حار\n" "حاشا\n" "حاي\n"
    "حبذا\n" "حبيب\n" "حتى\n" "حجا\n" "حدَث\n" "حرى\n" "حزيران\n" "حسب\n" "حقا\n" "حمدا\n" "حمو\n"
    "حمٌ\n" "حيث\n" "حيثما\n" "حين\n" "حيَّ\n" "حَذارِ\n" "خ\n" "خاء\n" "خاصة\n" "خال\n" "خامس\n"
    "خبَّر\n" "خلا\n" "خلافا\n" "خلف\n" "خمس\n" "خمسة\n" "خمسمئة\n" "خمسمائة\n" "خمسون\n" "خمسين\n"
    "خميس\n" "د\n" "دال\n" "درهم\n" "درى\n" "دواليك\n" "دولار\n" "دون\n" "دونك\n" "ديسمبر\n"
    "دينار\n" "ذ\n" "ذا\n" "ذات\n" "ذاك\n" "ذال\n" "ذان\n" "ذانك\n" "ذانِ\n" "ذلك\n" "ذلكم\n"
    "ذلكما\n" "ذلكن\n" "ذه\n" "ذهب\n" "ذو\n" "ذوا\n" "ذواتا\n" "ذواتي\n" "ذي\n" "ذيت\n" "ذين\n"
    "ذينك\n" "ذَيْنِ\n" "ذِه\n" "ذِي\n" "ر\n" "رأى\n" "راء\n" "رابع\n" "راح\n" "رجع\n" "رزق\n"
    "رويدك\n" "ريال\n" "ريث\n" "رُبَّ\n" "ز\n" "زاي\n" "زعم\n" "زود\n" "س\n" "ساء\n" "سابع\n"
    "سادس\n" "سبت\n" "سبتمبر\n" "سبحان\n" "سبع\n" "سبعة\n" "سبعمئة\n" "سبعمائة\n" "سبعون\n"
    "سبعين\n" "ست\n" "ستة\n" "ستمئة\n" "ستمائة\n" "ستون\n" "ستين\n" "سحقا\n" "سرا\n" "سرعان\n"
    "سقى\n" "سمعا\n" "سنتيم\n" "سوف\n" "سوى\n" "سين\n" "ش\n" "شباط\n" "شبه\n" "شتان\n" "شتانَ\n"
    "شرع\n" "شمال\n" "شيكل\n" "شين\n" "شَتَّانَ\n" "ص\n" "صاد\n" "صار\n" "صباح\n" "صبر\n" "صبرا\n"
    "صدقا\n" "صراحة\n" "صهٍ\n" "صهْ\n" "ض\n" "ضاد\n" "ضحوة\n" "ط\n" "طاء\n" "طاق\n" "طالما\n"
    "طرا\n" "طفق\n" "طَق\n" "ظ\n" "ظاء\n" "ظلّ\n" "ظنَّ\n" "ع\n" "عاد\n" "عاشر\n" "عامة\n" "عجبا\n"
    "عدا\n" "عدَّ\n" "عسى\n" "عشر\n" "عشرة\n" "عشرون\n" "عشرين\n" "عل\n" "علق\n" "علم\n" "على\n"
    "عليك\n" "عليه\n" "علًّ\n" "عما\n" "عن\n" "عند\n" "عوض\n" "عيانا\n" "عين\n" "عَدَسْ\n" "غ\n"
    "غادر\n" "غالبا\n" "غدا\n" "غداة\n" "غير\n" "غين\n" "ف\n" "فإذا\n" "فإن\n" "فاء\n" "فبراير\n"
    "فرادى\n" "فضلا\n" "فلا\n" "فلان\n" "فلس\n" "فمن\n" "فو\n" "فوق\n" "في\n" "فيفري\n" "فيم\n"
    "فيما\n" "فيه\n" "فيها\n" "ق\n" "قاطبة\n" "قاف\n" "قام\n" "قبل\n" "قد\n" "قرش\n" "قطّ\n"
    "قلما\n" "ك\n" "كأن\n" "كأنما\n" "كأنّ\n" "كأي\n" "كأين\n" "كأيّ\n" "كأيّن\n" "كاد\n" "كاف\n"
    "كان\n" "كانون\n" "كثيرا\n" "كذا\n" "كذلك\n" "كرب\n" "كسا\n" "كل\n" "كلا\n" "كلاهما\n" "كلتا\n"
    "كلما\n" "كليكما\n" "كليهما\n" "كلَّا\n" "كلّما\n" "كم\n" "كما\n" "كن\n" "كى\n" "كي\n" "كيت\n"
    "كيف\n" "كيفما\n" "كِخ\n" "ل\n" "لئن\n" "لا\n" "لا سيما\n" "لات\n" "لاسيما\n" "لام\n" "لبيك\n"
    "لدن\n" "لدى\n" "لست\n" "لستم\n" "لستما\n" "لستن\n" "لسن\n" "لسنا\n" "لعل\n" "لعلَّ\n" "لعمر\n"
    "لك\n" "لكم\n" "لكما\n" "لكن\n" "لكنما\n" "لكنَّ\n" "لكي\n" "لكيلا\n" "لم\n" "لما\n" "لمّا\n"
    "لن\n" "لنا\n" "له\n" "لها\n" "لهم\n" "لهما\n" "لهن\n" "لو\n" "لولا\n" "لوما\n" "لي\n" "ليت\n"
    "ليرة\n" "ليس\n" "ليسا\n" "ليست\n" "ليستا\n" "ليسوا\n" "م\n" "مئة\n" "مئتان\n" "ما\n"
    "ما أفعله\n" "ما انفك\n" "ما برح\n" "مائة\n" "مادام\n" "ماذا\n" "مارس\n" "مازال\n" "مافتئ\n"
    "ماي\n" "مايو\n" "متى\n" "مثل\n" "مذ\n" "مرّة\n" "مساء\n" "مع\n" "معاذ\n" "مكانكم\n" "مكانكما\n"
    "مكانكنّ\n" "مكانَك\n" "مليم\n" "مما\n" "ممن\n" "من\n" "منذ\n" "منه\n" "منها\n" "مه\n" "مهما\n"
    "ميم\n" "ن\n" "نا\n" "نبَّا\n" "نحن\n" "نحو\n" "نعم\n" "نفس\n" "نوفمبر\n" "نون\n" "نيسان\n"
    "نيف\n" "نَخْ\n" "نَّ\n" "ه\n" "هؤلاء\n" "ها\n" "هاء\n" "هاتان\n" "هاته\n" "هاتي\n" "هاتين\n"
    "هاك\n" "هاكَ\n" "هاهنا\n" "هبّ\n" "هذا\n" "هذان\n" "هذه\n" "هذي\n" "هذين\n" "هكذا\n" "هل\n"
    "هلا\n" "هللة\n" "هلم\n" "هلّا\n" "هم\n" "هما\n" "همزة\n" "هن\n" "هنا\n" "هناك\n" "هنالك\n"
    "هو\n" "هي\n" "هيا\n" "هيت\n" "هيهات\n" "هيّا\n" "هَؤلاء\n" "هَاتانِ\n" "هَاتَيْنِ\n" "هَاتِه\n"
    "هَاتِي\n" "هَجْ\n" "هَذا\n" "هَذانِ\n" "هَذَيْنِ\n" "هَذِه\n" "هَذِي\n" "هَيْهات\n" "و\n"
    "وإذ\n" "وإذا\n" "وإن\n" "وا\n" "واحد\n" "والذي\n" "والذين\n" "واهاً\n" "واو\n" "وجد\n"
    "وراءَك\n" "ورد\n" "ولا\n" "ولكن\n" "ولو\n" "وما\n" "ومن\n" "وهب\n" "وهو\n" "وَيْ\n"
    "وُشْكَانَ\n" "ى\n" "ي\n" "يا\n" "ياء\n" "يفعلان\n" "يفعلون\n" "يمين\n" "ين\n" "يناير\n"
    "يوان\n" "يورو\n" "يوليو\n" "يونيو\n" "ّأيّان\n";

// danish: 94 words.
constexpr char kDanish[] =
    "ad\n" "af\n" "alle\n" "alt\n" "anden\n" "at\n" "blev\n" "blive\n" "bliver\n" "da\n" "de\n"
    "dem\n" "den\n" "denne\n" "der\n" "deres\n" "det\n" "dette\n" "dig\n" "din\n" "disse\n" "dog\n"
    "du\n" "efter\n" "eller\n" "en\n" "end\n" "er\n" "et\n" "for\n" "fra\n" "ham\n" "han\n" "hans\n"
    "har\n" "havde\n" "have\n" "hende\n" "hendes\n" "her\n" "hos\n" "hun\n" "hvad\n" "hvis\n"
    "hvor\n" "i\n" "ikke\n" "ind\n" "jeg\n" "jer\n" "jo\n" "kunne\n" "man\n" "mange\n" "med\n"
    "meget\n" "men\n" "mig\n" "min\n" "mine\n" "mit\n" "mod\n" "ned\n" "noget\n" "nogle\n" "nu\n"
    "når\n" "og\n" "også\n" "om\n" "op\n" "os\n" "over\n" "på\n" "selv\n" "sig\n" "sin\n" "sine\n"
    "sit\n" "skal\n" "skulle\n" "som\n" "sådan\n" "thi\n" "til\n" "ud\n" "under\n" "var\n" "vi\n"
    "vil\n" "ville\n" "vor\n" "være\n" "været\n";

// dutch: 101 words.
constexpr char kDutch[] =
    "aan\n" "al\n" "alles\n" "als\n" "altijd\n" "andere\n" "ben\n" "bij\n" "daar\n" "dan\n" "dat\n"
    "de\n" "der\n" "deze\n" "die\n" "dit\n" "doch\n" "doen\n" "door\n" "dus\n" "een\n" "eens\n"
    "en\n" "er\n" "ge\n" "geen\n" "geweest\n" "haar\n" "had\n" "heb\n" "hebben\n" "heeft\n" "hem\n"
    "het\n" "hier\n" "hij\n" "hoe\n" "hun\n" "iemand\n" "iets\n" "ik\n" "in\n" "is\n" "ja\n" "je\n"
    "kan\n" "kon\n" "kunnen\n" "maar\n" "me\n" "meer\n" "men\n" "met\n" "mij\n" "mijn\n" "moet\n"
    "na\n" "naar\n" "niet\n" "niets\n" "nog\n" "nu\n" "of\n" "om\n" "omdat\n" "onder\n" "ons\n"
    "ook\n" "op\n" "over\n" "reeds\n" "te\n" "tegen\n" "toch\n" "toen\n" "tot\n" "u\n" "uit\n"
    "uw\n" "van\n" "veel\n" "voor\n" "want\n" "waren\n" "was\n" "wat\n" "werd\n" "wezen\n" "wie\n"
    "wil\n" "worden\n" "wordt\n" "zal\n" "ze\n" "zelf\n" "zich\n" "zij\n" "zijn\n" "zo\n" "zonder\n"
    "zou\n";

// finnish: 229 words.
constexpr char kFinnish[] =
    "ei\n" "eivät\n" "emme\n" "en\n" "et\n" "ette\n" "että\n" "he\n" "heidän\n" "heidät\n"
    "heihin\n" "heille\n" "heillä\n" "heiltä\n" "heissä\n" "heistä\n" "heitä\n" "hän\n" "häneen\n"
    "hänelle\n" "hänellä\n" "häneltä\n" "hänen\n" "hänessä\n" "hänestä\n" "hänet\n" "häntä\n"
    "itse\n" "ja\n" "johon\n" "joiden\n" "joihin\n" "joiksi\n" "joilla\n" "joille\n" "joilta\n"
    "joina\n" "joissa\n" "joista\n" "joita\n" "joka\n" "joksi\n" "jolla\n" "jolle\n" "jolta\n"
    "jona\n" "jonka\n" "jos\n" "jossa\n" "josta\n" "jota\n" "jotka\n" "kanssa\n" "keiden\n"
    "keihin\n" "keiksi\n" "keille\n" "keillä\n" "keiltä\n" "keinä\n" "keissä\n" "keistä\n" "keitä\n"
    "keneen\n" "keneksi\n" "kenelle\n" "kenellä\n" "keneltä\n" "kenen\n" "kenenä\n" "kenessä\n"
    "kenestä\n" "kenet\n" "ketkä\n" "ketä\n" "koska\n" "kuin\n" "kuka\n" "kun\n" "me\n" "meidän\n"
    "meidät\n" "meihin\n" "meille\n" "meillä\n" "meiltä\n" "meissä\n" "meistä\n" "meitä\n" "mihin\n"
    "miksi\n" "mikä\n" "mille\n" "millä\n" "miltä\n" "minkä\n" "minua\n" "minulla\n" "minulle\n"
    "minulta\n" "minun\n" "minussa\n" "minusta\n" "minut\n" "minuun\n" "minä\n" "missä\n" "mistä\n"
    "mitkä\n" "mitä\n" "mukaan\n" "mutta\n" "ne\n" "niiden\n" "niihin\n" "niiksi\n" "niille\n"
    "niillä\n" "niiltä\n" "niin\n" "niinä\n" "niissä\n" "niistä\n" "niitä\n" "noiden\n" "noihin\n"
    "noiksi\n" "noilla\n" "noille\n" "noilta\n" "noin\n" "noina\n" "noissa\n" "noista\n" "noita\n"
    "nuo\n" "nyt\n" "näiden\n" "näihin\n" "näiksi\n" "näille\n" "näillä\n" "näiltä\n" "näinä\n"
    "näissä\n" "näistä\n" "näitä\n" "nämä\n" "ole\n" "olemme\n" "olen\n" "olet\n" "olette\n" "oli\n"
    "olimme\n" "olin\n" "olisi\n" "olisimme\n" "olisin\n" "olisit\n" "olisitte\n" "olisivat\n"
    "olit\n" "olitte\n" "olivat\n" "olla\n" "olleet\n" "ollut\n" "on\n" "ovat\n" "poikki\n" "se\n"
    "sekä\n" "sen\n" "siihen\n" "siinä\n" "siitä\n" "siksi\n" "sille\n" "sillä\n" "siltä\n"
    "sinua\n" "sinulla\n" "sinulle\n" "sinulta\n" "sinun\n" "sinussa\n" "sinusta\n" "sinut\n"
    "sinuun\n" "sinä\n" "sitä\n" "tai\n" "tallä\n" "te\n" "teidän\n" "teidät\n" "teihin\n"
    "teille\n" "teillä\n" "teiltä\n" "teissä\n" "teistä\n" "teitä\n" "tuo\n" "tuohon\n" "tuoksi\n"
    "tuolla\n" "tuolle\n" "tuolta\n" "tuon\n" "tuona\n" "tuossa\n" "tuosta\n" "tuotä\n" "tähän\n"
    "täksi\n" "tälle\n" "tältä\n" "tämä\n" "tämän\n" "tänä\n" "tässä\n" "tästä\n" "tätä\n" "vaan\n"
    "vai\n" "vaikka\n" "yli\n";

// french: 157 words.
constexpr char kFrench[] =
    "ai\n" "aie\n" "aient\n" "aies\n" "ait\n" "as\n" "au\n" "aura\n" "aurai\n" "auraient\n"
    "aurais\n" "aurait\n" "auras\n" "aurez\n" "auriez\n" "aurions\n" "aurons\n" "auront\n" "aux\n"
    "avaient\n" "avais\n" "avait\n" "avec\n" "avez\n" "aviez\n" "avions\n" "avons\n" "ayant\n"
    "ayante\n" "ayantes\n" "ayants\n" "ayez\n" "ayons\n" "c\n" "ce\n" "ces\n" "d\n" "dans\n" "de\n"
    "des\n" "du\n" "elle\n" "en\n" "es\n" "est\n" "et\n" "eu\n" "eue\n" "eues\n" "eurent\n" "eus\n"
    "eusse\n" "eussent\n" "eusses\n" "eussiez\n" "eussions\n" "eut\n" "eux\n" "eûmes\n" "eût\n"
    "eûtes\n" "furent\n" "fus\n" "fusse\n" "fussent\n" "fusses\n" "fussiez\n" "fussions\n" "fut\n"
    "fûmes\n" "fût\n" "fûtes\n" "il\n" "ils\n" "j\n" "je\n" "l\n" "la\n" "le\n" "les\n" "leur\n"
    "lui\n" "m\n" "ma\n" "mais\n" "me\n" "mes\n" "moi\n" "mon\n" "même\n" "n\n" "ne\n" "nos\n"
    "notre\n" "nous\n" "on\n" "ont\n" "ou\n" "par\n" "pas\n" "pour\n" "qu\n" "que\n" "qui\n" "s\n"
    "sa\n" "se\n" "sera\n" "serai\n" "seraient\n" "serais\n" "serait\n" "seras\n" "serez\n"
    "seriez\n" "serions\n" "serons\n" "seront\n" "ses\n" "soient\n" "sois\n" "soit\n" "sommes\n"
    "son\n" "sont\n" "soyez\n" "soyons\n" "suis\n" "sur\n" "t\n" "ta\n" "te\n" "tes\n" "toi\n"
    "ton\n" "tu\n" "un\n" "une\n" "vos\n" "votre\n" "vous\n" "y\n" "à\n" "étaient\n" "étais\n"
    "était\n" "étant\n" "étante\n" "étantes\n" "étants\n" "étiez\n" "étions\n" "été\n" "étée\n"
    "étées\n" "étés\n" "êtes\n";

// german: 232 words.
constexpr char kGerman[] =
    "aber\n" "alle\n" "allem\n" "allen\n" "aller\n" "alles\n" "als\n" "also\n" "am\n" "an\n"
    "ander\n" "andere\n" "anderem\n" "anderen\n" "anderer\n" "anderes\n" "anderm\n" "andern\n"
    "anderr\n" "anders\n" "auch\n" "auf\n" "aus\n" "bei\n" "bin\n" "bis\n" "bist\n" "da\n" "damit\n"
    "dann\n" "das\n" "dass\n" "dasselbe\n" "dazu\n" "daß\n" "dein\n" "deine\n" "deinem\n" "deinen\n"
    "deiner\n" "deines\n" "dem\n" "demselben\n" "den\n" "denn\n" "denselben\n" "der\n" "derer\n"
    "derselbe\n" "derselben\n" "des\n" "desselben\n" "dessen\n" "dich\n" "die\n" "dies\n" "diese\n"
    "dieselbe\n" "dieselben\n" "diesem\n" "diesen\n" "dieser\n" "dieses\n" "dir\n" "doch\n" "dort\n"
    "du\n" "durch\n" "ein\n" "eine\n" "einem\n" "einen\n" "einer\n" "eines\n" "einig\n" "einige\n"
    "einigem\n" "einigen\n" "einiger\n" "einiges\n" "einmal\n" "er\n" "es\n" "etwas\n" "euch\n"
    "euer\n" "eure\n" "eurem\n" "euren\n" "eurer\n" "eures\n" "für\n" "gegen\n" "gewesen\n" "hab\n"
    "habe\n" "haben\n" "hat\n" "hatte\n" "hatten\n" "hier\n" "hin\n" "hinter\n" "ich\n" "ihm\n"
    "ihn\n" "ihnen\n" "ihr\n" "ihre\n" "ihrem\n" "ihren\n" "ihrer\n" "ihres\n" "im\n" "in\n"
    "indem\n" "ins\n" "ist\n" "jede\n" "jedem\n" "jeden\n" "jeder\n" "jedes\n" "jene\n" "jenem\n"
    "jenen\n" "jener\n" "jenes\n" "jetzt\n" "kann\n" "kein\n" "keine\n" "keinem\n" "keinen\n"
    "keiner\n" "keines\n" "können\n" "könnte\n" "machen\n" "man\n" "manche\n" "manchem\n"
    "manchen\n" "mancher\n" "manches\n" "mein\n" "meine\n" "meinem\n" "meinen\n" "meiner\n"
    "meines\n" "mich\n" "mir\n" "mit\n" "muss\n" "musste\n" "nach\n" "nicht\n" "nichts\n" "noch\n"
    "nun\n" "nur\n" "ob\n" "oder\n" "ohne\n" "sehr\n" "sein\n" "seine\n" "seinem\n" "seinen\n"
    "seiner\n" "seines\n" "selbst\n" "sich\n" "sie\n" "sind\n" "so\n" "solche\n" "solchem\n"
    "solchen\n" "solcher\n" "solches\n" "soll\n" "sollte\n" "sondern\n" "sonst\n" "um\n" "und\n"
    "uns\n" "unser\n" "unsere\n" "unserem\n" "unseren\n" "unseres\n" "unter\n" "viel\n" "vom\n"
    "von\n" "vor\n" "war\n" "waren\n" "warst\n" "was\n" "weg\n" "weil\n" "weiter\n" "welche\n"
    "welchem\n" "welchen\n" "welcher\n" "welches\n" "wenn\n" "werde\n" "werden\n" "wie\n" "wieder\n"
    "will\n" "wir\n" "wird\n" "wirst\n" "wo\n" "wollen\n" "wollte\n" "während\n" "würde\n"
    "würden\n" "zu\n" "zum\n" "zur\n" "zwar\n" "zwischen\n" "über\n";

// greek: 265 words.
constexpr char kGreek[] =
    "αλλα\n" "αν\n" "αντι\n" "απο\n" "αυτα\n" "αυτεσ\n" "αυτη\n" "αυτο\n" "αυτοι\n" "αυτοσ\n"
    "αυτουσ\n" "αυτων\n" "αἱ\n" "αἳ\n" "αἵ\n" "αὐτόσ\n" "αὐτὸς\n" "αὖ\n" "γάρ\n" "γα\n" "γα^\n"
    "γε\n" "για\n" "γοῦν\n" "γὰρ\n" "δ'\n" "δέ\n" "δή\n" "δαί\n" "δαίσ\n" "δαὶ\n" "δαὶς\n" "δε\n"
    "δεν\n" "δι'\n" "διά\n" "διὰ\n" "δὲ\n" "δὴ\n" "δ’\n" "εαν\n" "ειμαι\n" "ειμαστε\n" "ειναι\n"
    "εισαι\n" "ειστε\n" "εκεινα\n" "εκεινεσ\n" "εκεινη\n" "εκεινο\n" "εκεινοι\n" "εκεινοσ\n"
    "εκεινουσ\n" "εκεινων\n" "ενω\n" "επ\n" "επι\n" "εἰ\n" "εἰμί\n" "εἰμὶ\n" "εἰς\n" "εἰσ\n" "εἴ\n"
    "εἴμι\n" "εἴτε\n" "η\n" "θα\n" "ισωσ\n" "κ\n" "καί\n" "καίτοι\n" "καθ\n" "και\n" "κατ\n"
    "κατά\n" "κατα\n" "κατὰ\n" "καὶ\n" "κι\n" "κἀν\n" "κἂν\n" "μέν\n" "μή\n" "μήτε\n" "μα\n" "με\n"
    "μεθ\n" "μετ\n" "μετά\n" "μετα\n" "μετὰ\n" "μη\n" "μην\n" "μἐν\n" "μὲν\n" "μὴ\n" "μὴν\n" "να\n"
    "ο\n" "οι\n" "ομωσ\n" "οπωσ\n" "οσο\n" "οτι\n" "οἱ\n" "οἳ\n" "οἷς\n" "οὐ\n" "οὐδ\n" "οὐδέ\n"
    "οὐδείσ\n" "οὐδεὶς\n" "οὐδὲ\n" "οὐδὲν\n" "οὐκ\n" "οὐχ\n" "οὐχὶ\n" "οὓς\n" "οὔτε\n" "οὕτω\n"
    "οὕτως\n" "οὕτωσ\n" "οὖν\n" "οὗ\n" "οὗτος\n" "οὗτοσ\n" "παρ\n" "παρά\n" "παρα\n" "παρὰ\n"
    "περί\n" "περὶ\n" "ποια\n" "ποιεσ\n" "ποιο\n" "ποιοι\n" "ποιοσ\n" "ποιουσ\n" "ποιων\n" "ποτε\n"
    "που\n" "ποῦ\n" "προ\n" "προσ\n" "πρόσ\n" "πρὸ\n" "πρὸς\n" "πως\n" "πωσ\n" "σε\n" "στη\n"
    "στην\n" "στο\n" "στον\n" "σόσ\n" "σύ\n" "σύν\n" "σὸς\n" "σὺ\n" "σὺν\n" "τά\n" "τήν\n" "τί\n"
    "τίς\n" "τίσ\n" "τα\n" "ταῖς\n" "τε\n" "την\n" "τησ\n" "τι\n" "τινα\n" "τις\n" "τισ\n" "το\n"
    "τοί\n" "τοι\n" "τοιοῦτος\n" "τοιοῦτοσ\n" "τον\n" "τοτε\n" "του\n" "τούσ\n" "τοὺς\n" "τοῖς\n"
    "τοῦ\n" "των\n" "τό\n" "τόν\n" "τότε\n" "τὰ\n" "τὰς\n" "τὴν\n" "τὸ\n" "τὸν\n" "τῆς\n" "τῆσ\n"
    "τῇ\n" "τῶν\n" "τῷ\n" "ωσ\n" "ἀλλ'\n" "ἀλλά\n" "ἀλλὰ\n" "ἀλλ’\n" "ἀπ\n" "ἀπό\n" "ἀπὸ\n" "ἀφ\n"
    "ἂν\n" "ἃ\n" "ἄλλος\n" "ἄλλοσ\n" "ἄν\n" "ἄρα\n" "ἅμα\n" "ἐάν\n" "ἐγώ\n" "ἐγὼ\n" "ἐκ\n" "ἐμόσ\n"
    "ἐμὸς\n" "ἐν\n" "ἐξ\n" "ἐπί\n" "ἐπεὶ\n" "ἐπὶ\n" "ἐστι\n" "ἐφ\n" "ἐὰν\n" "ἑαυτοῦ\n" "ἔτι\n" "ἡ\n"
    "ἢ\n" "ἣ\n" "ἤ\n" "ἥ\n" "ἧς\n" "ἵνα\n" "ὁ\n" "ὃ\n" "ὃν\n" "ὃς\n" "ὅ\n" "ὅδε\n" "ὅθεν\n" "ὅπερ\n"
    "ὅς\n" "ὅσ\n" "ὅστις\n" "ὅστισ\n" "ὅτε\n" "ὅτι\n" "ὑμόσ\n" "ὑπ\n" "ὑπέρ\n" "ὑπό\n" "ὑπὲρ\n"
    "ὑπὸ\n" "ὡς\n" "ὡσ\n" "ὥς\n" "ὥστε\n" "ὦ\n" "ᾧ\n";

// hungarian: 198 words.
constexpr char kHungarian[] =
    "a\n" "abban\n" "ahhoz\n" "ahogy\n" "ahol\n" "aki\n" "akik\n" "akkor\n" "alatt\n" "amely\n"
    "amelyek\n" "amelyekben\n" "amelyeket\n" "amelyet\n" "amelynek\n" "ami\n" "amikor\n" "amit\n"
    "amolyan\n" "amíg\n" "annak\n" "arra\n" "arról\n" "az\n" "azok\n" "azon\n" "azonban\n" "azt\n"
    "aztán\n" "azután\n" "azzal\n" "azért\n" "be\n" "belül\n" "benne\n" "bár\n" "cikk\n" "cikkek\n"
    "cikkeket\n" "csak\n" "de\n" "e\n" "ebben\n" "eddig\n" "egy\n" "egyes\n" "egyetlen\n" "egyik\n"
    "egyre\n" "egyéb\n" "egész\n" "ehhez\n" "ekkor\n" "el\n" "ellen\n" "elsõ\n" "elég\n" "elõ\n"
    "elõször\n" "elõtt\n" "emilyen\n" "ennek\n" "erre\n" "ez\n" "ezek\n" "ezen\n" "ezt\n" "ezzel\n"
    "ezért\n" "fel\n" "felé\n" "hanem\n" "hiszen\n" "hogy\n" "hogyan\n" "igen\n" "ill\n" "ill.\n"
    "illetve\n" "ilyen\n" "ilyenkor\n" "ismét\n" "ison\n" "itt\n" "jobban\n" "jó\n" "jól\n" "kell\n"
    "kellett\n" "keressünk\n" "keresztül\n" "ki\n" "kívül\n" "között\n" "közül\n" "legalább\n"
    "legyen\n" "lehet\n" "lehetett\n" "lenne\n" "lenni\n" "lesz\n" "lett\n" "maga\n" "magát\n"
    "majd\n" "meg\n" "mellett\n" "mely\n" "melyek\n" "mert\n" "mi\n" "mikor\n" "milyen\n" "minden\n"
    "mindenki\n" "mindent\n" "mindig\n" "mint\n" "mintha\n" "mit\n" "mivel\n" "miért\n" "most\n"
    "már\n" "más\n" "másik\n" "még\n" "míg\n" "nagy\n" "nagyobb\n" "nagyon\n" "ne\n" "nekem\n"
    "neki\n" "nem\n" "nincs\n" "néha\n" "néhány\n" "nélkül\n" "olyan\n" "ott\n" "pedig\n" "persze\n"
    "rá\n" "s\n" "saját\n" "sem\n" "semmi\n" "sok\n" "sokat\n" "sokkal\n" "szemben\n" "szerint\n"
    "szinte\n" "számára\n" "talán\n" "tehát\n" "teljes\n" "tovább\n" "továbbá\n" "több\n"
    "ugyanis\n" "utolsó\n" "után\n" "utána\n" "vagy\n" "vagyis\n" "vagyok\n" "valaki\n" "valami\n"
    "valamint\n" "való\n" "van\n" "vannak\n" "vele\n" "vissza\n" "viszont\n" "volna\n" "volt\n"
    "voltak\n" "voltam\n" "voltunk\n" "által\n" "általában\n" "át\n" "én\n" "éppen\n" "és\n" "így\n"
    "õ\n" "õk\n" "õket\n" "össze\n" "úgy\n" "új\n" "újabb\n" "újra\n";

// italian: 279 words.
constexpr char kItalian[] =
    "a\n" "abbia\n" "abbiamo\n" "abbiano\n" "abbiate\n" "ad\n" "agl\n" "agli\n" "ai\n" "al\n"
    "all\n" "alla\n" "alle\n" "allo\n" "anche\n" "avemmo\n" "avendo\n" "avesse\n" "avessero\n"
    "avessi\n" "avessimo\n" "aveste\n" "avesti\n" "avete\n" "aveva\n" "avevamo\n" "avevano\n"
    "avevate\n" "avevi\n" "avevo\n" "avrai\n" "avranno\n" "avrebbe\n" "avrebbero\n" "avrei\n"
    "avremmo\n" "avremo\n" "avreste\n" "avresti\n" "avrete\n" "avrà\n" "avrò\n" "avuta\n" "avute\n"
    "avuti\n" "avuto\n" "c\n" "che\n" "chi\n" "ci\n" "coi\n" "col\n" "come\n" "con\n" "contro\n"
    "cui\n" "da\n" "dagl\n" "dagli\n" "dai\n" "dal\n" "dall\n" "dalla\n" "dalle\n" "dallo\n"
    "degl\n" "degli\n" "dei\n" "del\n" "dell\n" "della\n" "delle\n" "dello\n" "di\n" "dov\n"
    "dove\n" "e\n" "ebbe\n" "ebbero\n" "ebbi\n" "ed\n" "era\n" "erano\n" "eravamo\n" "eravate\n"
    "eri\n" "ero\n" "essendo\n" "faccia\n" "facciamo\n" "facciano\n" "facciate\n" "faccio\n"
    "facemmo\n" "facendo\n" "facesse\n" "facessero\n" "facessi\n" "facessimo\n" "faceste\n"
    "facesti\n" "faceva\n" "facevamo\n" "facevano\n" "facevate\n" "facevi\n" "facevo\n" "fai\n"
    "fanno\n" "farai\n" "faranno\n" "farebbe\n" "farebbero\n" "farei\n" "faremmo\n" "faremo\n"
    "fareste\n" "faresti\n" "farete\n" "farà\n" "farò\n" "fece\n" "fecero\n" "feci\n" "fosse\n"
    "fossero\n" "fossi\n" "fossimo\n" "foste\n" "fosti\n" "fu\n" "fui\n" "fummo\n" "furono\n"
    "gli\n" "ha\n" "hai\n" "hanno\n" "ho\n" "i\n" "il\n" "in\n" "io\n" "l\n" "la\n" "le\n" "lei\n"
    "li\n" "lo\n" "loro\n" "lui\n" "ma\n" "mi\n" "mia\n" "mie\n" "miei\n" "mio\n" "ne\n" "negl\n"
    "negli\n" "nei\n" "nel\n" "nell\n" "nella\n" "nelle\n" "nello\n" "noi\n" "non\n" "nostra\n"
    "nostre\n" "nostri\n" "nostro\n" "o\n" "per\n" "perché\n" "più\n" "quale\n" "quanta\n"
    "quante\n" "quanti\n" "quanto\n" "quella\n" "quelle\n" "quelli\n" "quello\n" "questa\n"
    "queste\n" "questi\n" "questo\n" "sarai\n" "saranno\n" "sarebbe\n" "sarebbero\n" "sarei\n"
    "saremmo\n" "saremo\n" "sareste\n" "saresti\n" "sarete\n" "sarà\n" "sarò\n" "se\n" "sei\n"
    "si\n" "sia\n" "siamo\n" "siano\n" "siate\n" "siete\n" "sono\n" "sta\n" "stai\n" "stando\n"
    "stanno\n" "starai\n" "staranno\n" "starebbe\n" "starebbero\n" "starei\n" "staremmo\n"
    "staremo\n" "stareste\n" "staresti\n" "starete\n" "starà\n" "starò\n" "stava\n" "stavamo\n"
    "stavano\n" "stavate\n" "stavi\n" "stavo\n" "stemmo\n" "stesse\n" "stessero\n" "stessi\n"
    "stessimo\n" "steste\n" "stesti\n" "stette\n" "stettero\n" "stetti\n" "stia\n" "stiamo\n"
    "stiano\n" "stiate\n" "sto\n" "su\n" "sua\n" "sue\n" "sugl\n" "sugli\n" "sui\n" "sul\n" "sull\n"
    "sulla\n" "sulle\n" "sullo\n" "suo\n" "suoi\n" "ti\n" "tra\n" "tu\n" "tua\n" "tue\n" "tuo\n"
    "tuoi\n" "tutti\n" "tutto\n" "un\n" "una\n" "uno\n" "vi\n" "voi\n" "vostra\n" "vostre\n"
    "vostri\n" "vostro\n" "è\n";

// norwegian: 172 words.
constexpr char kNorwegian[] =
    "alle\n" "at\n" "av\n" "bare\n" "begge\n" "ble\n" "blei\n" "bli\n" "blir\n" "blitt\n" "både\n"
    "båe\n" "da\n" "de\n" "deg\n" "dei\n" "deim\n" "deira\n" "deires\n" "dem\n" "den\n" "denne\n"
    "der\n" "dere\n" "deres\n" "det\n" "dette\n" "di\n" "din\n" "disse\n" "ditt\n" "du\n" "dykk\n"
    "dykkar\n" "då\n" "eg\n" "ein\n" "eit\n" "eitt\n" "eller\n" "elles\n" "en\n" "enn\n" "er\n"
    "et\n" "ett\n" "etter\n" "for\n" "fordi\n" "fra\n" "før\n" "ha\n" "hadde\n" "han\n" "hans\n"
    "har\n" "hennar\n" "henne\n" "hennes\n" "her\n" "hjå\n" "ho\n" "hoe\n" "honom\n" "hoss\n"
    "hossen\n" "hun\n" "hva\n" "hvem\n" "hver\n" "hvilke\n" "hvilken\n" "hvis\n" "hvor\n"
    "hvordan\n" "hvorfor\n" "i\n" "ikke\n" "ikkje\n" "ingen\n" "ingi\n" "inkje\n" "inn\n" "inni\n"
    "ja\n" "jeg\n" "kan\n" "kom\n" "korleis\n" "korso\n" "kun\n" "kunne\n" "kva\n" "kvar\n"
    "kvarhelst\n" "kven\n" "kvi\n" "kvifor\n" "man\n" "mange\n" "me\n" "med\n" "medan\n" "meg\n"
    "meget\n" "mellom\n" "men\n" "mi\n" "min\n" "mine\n" "mitt\n" "mot\n" "mykje\n" "ned\n" "no\n"
    "noe\n" "noen\n" "noka\n" "noko\n" "nokon\n" "nokor\n" "nokre\n" "nå\n" "når\n" "og\n" "også\n"
    "om\n" "opp\n" "oss\n" "over\n" "på\n" "samme\n" "seg\n" "selv\n" "si\n" "sia\n" "sidan\n"
    "siden\n" "sin\n" "sine\n" "sitt\n" "sjøl\n" "skal\n" "skulle\n" "slik\n" "so\n" "som\n"
    "somme\n" "somt\n" "så\n" "sånn\n" "til\n" "um\n" "upp\n" "ut\n" "uten\n" "var\n" "vart\n"
    "varte\n" "ved\n" "vere\n" "verte\n" "vi\n" "vil\n" "ville\n" "vore\n" "vors\n" "vort\n" "vår\n"
    "være\n" "vært\n" "å\n";

// portuguese: 207 words.
constexpr char kPortuguese[] =
    "a\n" "ao\n" "aos\n" "aquela\n" "aquelas\n" "aquele\n" "aqueles\n" "aquilo\n" "as\n" "até\n"
    "com\n" "como\n" "da\n" "das\n" "de\n" "dela\n" "delas\n" "dele\n" "deles\n" "depois\n" "do\n"
    "dos\n" "e\n" "ela\n" "elas\n" "ele\n" "eles\n" "em\n" "entre\n" "era\n" "eram\n" "essa\n"
    "essas\n" "esse\n" "esses\n" "esta\n" "estamos\n" "estar\n" "estas\n" "estava\n" "estavam\n"
    "este\n" "esteja\n" "estejam\n" "estejamos\n" "estes\n" "esteve\n" "estive\n" "estivemos\n"
    "estiver\n" "estivera\n" "estiveram\n" "estiverem\n" "estivermos\n" "estivesse\n" "estivessem\n"
    "estivéramos\n" "estivéssemos\n" "estou\n" "está\n" "estávamos\n" "estão\n" "eu\n" "foi\n"
    "fomos\n" "for\n" "fora\n" "foram\n" "forem\n" "formos\n" "fosse\n" "fossem\n" "fui\n"
    "fôramos\n" "fôssemos\n" "haja\n" "hajam\n" "hajamos\n" "havemos\n" "haver\n" "hei\n" "houve\n"
    "houvemos\n" "houver\n" "houvera\n" "houveram\n" "houverei\n" "houverem\n" "houveremos\n"
    "houveria\n" "houveriam\n" "houvermos\n" "houverá\n" "houverão\n" "houveríamos\n" "houvesse\n"
    "houvessem\n" "houvéramos\n" "houvéssemos\n" "há\n" "hão\n" "isso\n" "isto\n" "já\n" "lhe\n"
    "lhes\n" "mais\n" "mas\n" "me\n" "mesmo\n" "meu\n" "meus\n" "minha\n" "minhas\n" "muito\n"
    "na\n" "nas\n" "nem\n" "no\n" "nos\n" "nossa\n" "nossas\n" "nosso\n" "nossos\n" "num\n" "numa\n"
    "não\n" "nós\n" "o\n" "os\n" "ou\n" "para\n" "pela\n" "pelas\n" "pelo\n" "pelos\n" "por\n"
    "qual\n" "quando\n" "que\n" "quem\n" "se\n" "seja\n" "sejam\n" "sejamos\n" "sem\n" "ser\n"
    "serei\n" "seremos\n" "seria\n" "seriam\n" "será\n" "serão\n" "seríamos\n" "seu\n" "seus\n"
    "somos\n" "sou\n" "sua\n" "suas\n" "são\n" "só\n" "também\n" "te\n" "tem\n" "temos\n" "tenha\n"
    "tenham\n" "tenhamos\n" "tenho\n" "terei\n" "teremos\n" "teria\n" "teriam\n" "terá\n" "terão\n"
    "teríamos\n" "teu\n" "teus\n" "teve\n" "tinha\n" "tinham\n" "tive\n" "tivemos\n" "tiver\n"
    "tivera\n" "tiveram\n" "tiverem\n" "tivermos\n" "tivesse\n" "tivessem\n" "tivéramos\n"
    "tivéssemos\n" "tu\n" "tua\n" "tuas\n" "tém\n" "tínhamos\n" "um\n" "uma\n" "você\n" "vocês\n"
    "vos\n" "à\n" "às\n" "é\n" "éramos\n";

// romanian: 356 words.
constexpr char kRomanian[] =
    "a\n" "abia\n" "acea\n" "aceasta\n" "această\n" "aceea\n" "aceeasi\n" "acei\n" "aceia\n"
    "acel\n" "acela\n" "acelasi\n" "acele\n" "acelea\n" "acest\n" "acesta\n" "aceste\n" "acestea\n"
    "acestei\n" "acestia\n" "acestui\n" "aceşti\n" "aceştia\n" "adica\n" "ai\n" "aia\n" "aibă\n"
    "aici\n" "al\n" "ala\n" "ale\n" "alea\n" "alt\n" "alta\n" "altceva\n" "altcineva\n" "alte\n"
    "altfel\n" "alti\n" "altii\n" "altul\n" "am\n" "anume\n" "apoi\n" "ar\n" "are\n" "as\n" "asa\n"
    "asta\n" "astea\n" "astfel\n" "asupra\n" "atare\n" "atat\n" "atata\n" "atatea\n" "atatia\n"
    "ati\n" "atit\n" "atita\n" "atitea\n" "atitia\n" "atunci\n" "au\n" "avea\n" "avem\n" "aveţi\n"
    "avut\n" "aş\n" "aţi\n" "ba\n" "ca\n" "cam\n" "cand\n" "care\n" "careia\n" "carora\n" "caruia\n"
    "cat\n" "catre\n" "ce\n" "cea\n" "ceea\n" "cei\n" "ceilalti\n" "cel\n" "cele\n" "celor\n"
    "ceva\n" "chiar\n" "ci\n" "cind\n" "cine\n" "cineva\n" "cit\n" "cita\n" "cite\n" "citeva\n"
    "citi\n" "citiva\n" "cu\n" "cui\n" "cum\n" "cumva\n" "cât\n" "câte\n" "câtva\n" "câţi\n"
    "cînd\n" "cît\n" "cîte\n" "cîtva\n" "cîţi\n" "că\n" "căci\n" "cărei\n" "căror\n" "cărui\n"
    "către\n" "da\n" "daca\n" "dacă\n" "dar\n" "dat\n" "dată\n" "dau\n" "de\n" "deasupra\n" "deci\n"
    "decit\n" "deja\n" "desi\n" "despre\n" "deşi\n" "din\n" "dintr\n" "dintr-\n" "dintre\n" "doar\n"
    "doi\n" "doilea\n" "două\n" "drept\n" "dupa\n" "după\n" "dă\n" "e\n" "ea\n" "ei\n" "el\n"
    "ele\n" "era\n" "eram\n" "este\n" "eu\n" "eşti\n" "face\n" "fara\n" "fata\n" "fel\n" "fi\n"
    "fie\n" "fiecare\n" "fii\n" "fim\n" "fiu\n" "fiţi\n" "foarte\n" "fost\n" "fără\n" "i\n" "ia\n"
    "iar\n" "ii\n" "il\n" "imi\n" "in\n" "inainte\n" "inapoi\n" "inca\n" "incit\n" "insa\n" "intr\n"
    "intre\n" "isi\n" "iti\n" "la\n" "le\n" "li\n" "lor\n" "lui\n" "lângă\n" "lîngă\n" "m\n" "ma\n"
    "mai\n" "mea\n" "mei\n" "mele\n" "mereu\n" "meu\n" "mi\n" "mie\n" "mine\n" "mod\n" "mult\n"
    "multa\n" "multe\n" "multi\n" "multă\n" "mulţi\n" "mâine\n" "mîine\n" "mă\n" "ne\n" "ni\n"
    "nici\n" "nimeni\n" "nimic\n" "niste\n" "nişte\n" "noastre\n" "noastră\n" "noi\n" "nostri\n"
    "nostru\n" "nou\n" "noua\n" "nouă\n" "noştri\n" "nu\n" "numai\n" "o\n" "or\n" "ori\n"
    "oricare\n" "orice\n" "oricine\n" "oricum\n" "oricând\n" "oricât\n" "oricînd\n" "oricît\n"
    "oriunde\n" "pai\n" "parca\n" "patra\n" "patru\n" "pe\n" "pentru\n" "peste\n" "pic\n" "pina\n"
    "poate\n" "pot\n" "prea\n" "prima\n" "primul\n" "prin\n" "printr-\n" "putini\n" "puţin\n"
    "puţina\n" "puţină\n" "până\n" "pînă\n" "sa\n" "sa-mi\n" "sa-ti\n" "sai\n" "sale\n" "sau\n"
    "se\n" "si\n" "sint\n" "sintem\n" "spate\n" "spre\n" "sub\n" "sunt\n" "suntem\n" "sunteţi\n"
    "sus\n" "să\n" "săi\n" "său\n" "t\n" "ta\n" "tale\n" "te\n" "ti\n" "tine\n" "toata\n" "toate\n"
    "toată\n" "tocmai\n" "tot\n" "toti\n" "totul\n" "totusi\n" "totuşi\n" "toţi\n" "trei\n"
    "treia\n" "treilea\n" "tu\n" "tuturor\n" "tăi\n" "tău\n" "u\n" "ul\n" "ului\n" "un\n" "una\n"
    "unde\n" "undeva\n" "unei\n" "uneia\n" "unele\n" "uneori\n" "unii\n" "unor\n" "unora\n" "unu\n"
    "unui\n" "unuia\n" "unul\n" "v\n" "va\n" "vi\n" "voastre\n" "voastră\n" "voi\n" "vom\n" "vor\n"
    "vostru\n" "vouă\n" "voştri\n" "vreo\n" "vreun\n" "vă\n" "zi\n" "zice\n" "îi\n" "îl\n" "îmi\n"
    "în\n" "îţi\n" "ăla\n" "ălea\n" "ăsta\n" "ăstea\n" "ăştia\n" "şi\n" "ţi\n" "ţie\n";

// russian: 151 words.
constexpr char kRussian[] =
    "а\n" "без\n" "более\n" "больше\n" "будет\n" "будто\n" "бы\n" "был\n" "была\n" "были\n" "было\n"
    "быть\n" "в\n" "вам\n" "вас\n" "вдруг\n" "ведь\n" "во\n" "вот\n" "впрочем\n" "все\n" "всегда\n"
    "всего\n" "всех\n" "всю\n" "вы\n" "где\n" "да\n" "даже\n" "два\n" "для\n" "до\n" "другой\n"
    "его\n" "ее\n" "ей\n" "ему\n" "если\n" "есть\n" "еще\n" "ж\n" "же\n" "за\n" "зачем\n" "здесь\n"
    "и\n" "из\n" "или\n" "им\n" "иногда\n" "их\n" "к\n" "как\n" "какая\n" "какой\n" "когда\n"
    "конечно\n" "кто\n" "куда\n" "ли\n" "лучше\n" "между\n" "меня\n" "мне\n" "много\n" "может\n"
    "можно\n" "мой\n" "моя\n" "мы\n" "на\n" "над\n" "надо\n" "наконец\n" "нас\n" "не\n" "него\n"
    "нее\n" "ней\n" "нельзя\n" "нет\n" "ни\n" "нибудь\n" "никогда\n" "ним\n" "них\n" "ничего\n"
    "но\n" "ну\n" "о\n" "об\n" "один\n" "он\n" "она\n" "они\n" "опять\n" "от\n" "перед\n" "по\n"
    "под\n" "после\n" "потом\n" "потому\n" "почти\n" "при\n" "про\n" "раз\n" "разве\n" "с\n" "сам\n"
    "свою\n" "себе\n" "себя\n" "сейчас\n" "со\n" "совсем\n" "так\n" "такой\n" "там\n" "тебя\n"
    "тем\n" "теперь\n" "то\n" "тогда\n" "того\n" "тоже\n" "только\n" "том\n" "тот\n" "три\n" "тут\n"
    "ты\n" "у\n" "уж\n" "уже\n" "хорошо\n" "хоть\n" "чего\n" "чем\n" "через\n" "что\n" "чтоб\n"
    "чтобы\n" "чуть\n" "эти\n" "этого\n" "этой\n" "этом\n" "этот\n" "эту\n" "я\n";

// swedish: 114 words.
constexpr char kSwedish[] =
    "alla\n" "allt\n" "att\n" "av\n" "blev\n" "bli\n" "blir\n" "blivit\n" "de\n" "dem\n" "den\n"
    "denna\n" "deras\n" "dess\n" "dessa\n" "det\n" "detta\n" "dig\n" "din\n" "dina\n" "ditt\n"
    "du\n" "där\n" "då\n" "efter\n" "ej\n" "eller\n" "en\n" "er\n" "era\n" "ert\n" "ett\n" "från\n"
    "för\n" "ha\n" "hade\n" "han\n" "hans\n" "har\n" "henne\n" "hennes\n" "hon\n" "honom\n" "hur\n"
    "här\n" "i\n" "icke\n" "ingen\n" "inom\n" "inte\n" "jag\n" "ju\n" "kan\n" "kunde\n" "man\n"
    "med\n" "mellan\n" "men\n" "mig\n" "min\n" "mina\n" "mitt\n" "mot\n" "mycket\n" "ni\n" "nu\n"
    "när\n" "någon\n" "något\n" "några\n" "och\n" "om\n" "oss\n" "på\n" "samma\n" "sedan\n" "sig\n"
    "sin\n" "sina\n" "sitta\n" "själv\n" "skulle\n" "som\n" "så\n" "sådan\n" "sådana\n" "sådant\n"
    "till\n" "under\n" "upp\n" "ut\n" "utan\n" "vad\n" "var\n" "vara\n" "varför\n" "varit\n"
    "varje\n" "vars\n" "vart\n" "vem\n" "vi\n" "vid\n" "vilka\n" "vilkas\n" "vilken\n" "vilket\n"
    "vår\n" "våra\n" "vårt\n" "än\n" "är\n" "åt\n" "över\n";

// tamil: 125 words.
constexpr char kTamil[] =
    "அங்கு\n" "அங்கே\n" "அடுத்த\n" "அதனால்\n" "அதன்\n" "அதற்கு\n" "அதிக\n" "அதில்\n" "அது\n" "அதே\n"
    "அதை\n" "அந்த\n" "அந்தக்\n" "அந்தப்\n" "அன்று\n" "அல்லது\n" "அவன்\n" "அவரது\n" "அவர்\n"
    "அவர்கள்\n" "அவள்\n" "அவை\n" "ஆகிய\n" "ஆகியோர்\n" "ஆகும்\n" "இங்கு\n" "இங்கே\n" "இடத்தில்\n"
    "இடம்\n" "இதனால்\n" "இதனை\n" "இதன்\n" "இதற்கு\n" "இதில்\n" "இது\n" "இதை\n" "இந்த\n" "இந்தக்\n"
    "இந்தத்\n" "இந்தப்\n" "இன்னும்\n" "இப்போது\n" "இரு\n" "இருக்கும்\n" "இருந்த\n" "இருந்தது\n"
    "இருந்து\n" "இவர்\n" "இவை\n" "உன்\n" "உள்ள\n" "உள்ளது\n" "உள்ளன\n" "எந்த\n" "என\n" "எனக்\n"
    "எனக்கு\n" "எனப்படும்\n" "எனவும்\n" "எனவே\n" "எனினும்\n" "எனும்\n" "என்\n" "என்ன\n" "என்னும்\n"
    "என்பது\n" "என்பதை\n" "என்ற\n" "என்று\n" "என்றும்\n" "எல்லாம்\n" "ஏன்\n" "ஒரு\n" "ஒரே\n" "ஓர்\n"
    "கொண்ட\n" "கொண்டு\n" "கொள்ள\n" "சற்று\n" "சிறு\n" "சில\n" "சேர்ந்த\n" "தனது\n" "தன்\n" "தவிர\n"
    "தான்\n" "நான்\n" "நாம்\n" "நீ\n" "பற்றி\n" "பற்றிய\n" "பல\n" "பலரும்\n" "பல்வேறு\n" "பின்\n"
    "பின்னர்\n" "பிற\n" "பிறகு\n" "பெரும்\n" "பேர்\n" "போது\n" "போன்ற\n" "போல\n" "போல்\n"
    "மட்டுமே\n" "மட்டும்\n" "மற்ற\n" "மற்றும்\n" "மிக\n" "மிகவும்\n" "மீது\n" "முதல்\n" "முறை\n"
    "மேலும்\n" "மேல்\n" "யார்\n" "வந்த\n" "வந்து\n" "வரும்\n" "வரை\n" "வரையில்\n" "விட\n" "விட்டு\n"
    "வேண்டும்\n" "வேறு\n";

// turkish: 53 words.
constexpr char kTurkish[] =
    "acaba\n" "ama\n" "aslında\n" "az\n" "bazı\n" "belki\n" "biri\n" "birkaç\n" "birşey\n" "biz\n"
    "bu\n" "da\n" "daha\n" "de\n" "defa\n" "diye\n" "en\n" "eğer\n" "gibi\n" "hem\n" "hep\n"
    "hepsi\n" "her\n" "hiç\n" "ile\n" "ise\n" "için\n" "kez\n" "ki\n" "kim\n" "mu\n" "mü\n" "mı\n"
    "nasıl\n" "ne\n" "neden\n" "nerde\n" "nerede\n" "nereye\n" "niye\n" "niçin\n" "o\n" "sanki\n"
    "siz\n" "tüm\n" "ve\n" "veya\n" "ya\n" "yani\n" "çok\n" "çünkü\n" "şey\n" "şu\n";

}  // namespace

std::string_view StopWordText(uint8_t language) {
  static constexpr std::string_view kTexts[kLanguageCount] = {
      kEnglish,
      kSpanish,
      kArabic,
      kDanish,
      kDutch,
      kFinnish,
      kFrench,
      kGerman,
      kGreek,
      kHungarian,
      kItalian,
      kNorwegian,
      kPortuguese,
      kRomanian,
      kRussian,
      kSwedish,
      kTamil,
      kTurkish,
  };
  assert(language < kLanguageCount);
  return kTexts[language];
}

}  // namespace halcyra
