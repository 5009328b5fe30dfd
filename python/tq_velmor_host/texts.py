"""What the command says, in English, and what the program a Windows user double-clicks says, in
Spanish like the build's screens."""

from dataclasses import dataclass

from .folder import BUILD_FILES, BUILD_FOLDERS, RECORD, RESULT

PROGRAM = "tq-velmor"
USAGE = f"{PROGRAM} [--force] [--no-upx]"
# Set to 1, the same as --no-upx: the setting a user who double-clicks the program can give.
NO_UPX = "TQ_VELMOR_NO_UPX"


@dataclass(frozen=True)
class Texts:
    """What the command says, in one language. The comments name each text's placeholders."""
    help: str
    unknown: str  # {arg!r}
    repeated: str  # {arg!r}
    bad_setting: str  # {value!r} of NO_UPX
    refused: str  # {cwd}, {deleted}, {foreign}
    refused_link: str  # {cwd}, {names}
    more: str  # {shown}, {count}
    interrupted: str
    unexpected: str  # {error}
    # After the build: what the new yt-dlp.exe is.
    record: str  # {path}
    record_failed: str  # {path}, {error}
    libraries: str  # {libraries}: what its verbose header lists
    runtimes: str  # {runtimes}: likewise
    youtube_without_ejs: str
    youtube_without_runtime: str
    commit: str  # {commit}
    version: str  # {version}: what the new yt-dlp.exe --version printed
    digest: str  # {digest}: the new yt-dlp.exe's SHA-256
    not_starting: str  # {why}, one of the six below
    could_not_start: str  # {error}
    ended: str  # {status}, {line}: the first line it printed
    ended_silently: str  # {status}
    silent: str
    hung: str  # {limit}: seconds
    flooded: str  # {limit}: bytes
    # What to do when it does not start, by why.
    blocked_advice: str
    hung_advice: str
    failed_advice: str
    # Why a build goes without UPX, shown under each of its screens.
    without_upx_asked: str
    without_upx_tls: str  # {dll}
    rebuilding: str
    # After the build without UPX.
    rebuilt: str  # {why}: why the one UPX packed did not start
    rebuild_left_nothing: str
    # The build's environment and what goes into it.
    installing: str  # {locks}, {folder}
    dependencies_locked: str  # {locks}
    dependencies_seven: str  # {why}
    environment_ready: str  # {how}, {folder}
    made: str  # {seconds}: the dependencies' phase, in an environment made now
    reused: str  # {seconds}: likewise, in one made earlier
    no_locks: str
    no_platform_locks: str  # {platform}
    lock_unreadable: str  # {lock}, {error}
    lock_not_installable: str  # {lock}, {line}: pip's own line
    pyinstaller_from_index: str  # {version}, {error}
    wheel_mismatch: str  # {url}, {lock}, {digest}
    lock_mismatch: str  # {lock}, {detail}
    unwritable: str  # {folder}, {error}
    update_hint: str  # what yt-dlp.exe -U says


_FOLDERS, _FILES = ", ".join(BUILD_FOLDERS), ", ".join(BUILD_FILES)

ENGLISH = Texts(
    help=f"""usage: {USAGE}

Builds {RESULT} in the current folder: finds a Python interpreter, downloads UPX and the
yt-dlp source, installs the source's own locked build dependencies (with --require-hashes)
into an environment of the build's own in the user's cache folder, and packages the
executable with PyInstaller, behind a progress screen in Spanish. It needs the internet,
and only on Windows does it produce {RESULT}. The interpreter's own packages stay as
they are.

The new {RESULT} is started with --version before the build counts as a success, and
what it carries is read from its verbose header. When the one packed with UPX does not
start, it is built once more without UPX. An interpreter whose DLL keeps thread-local
storage (Python 3.12 and later), which UPX 4.2.2 breaks, gets a build without UPX from the
start. What made it is written to {RECORD} beside it.

Warning: the build works in the current folder and deletes from it the folders
{_FOLDERS}
and the files {_FILES};
a new {RESULT} replaces the one there. It does not start where any of those lies beside
other files, nor where a link or junction bears one of its names.

options:
  --force     build even when the build's names lie beside other files
  --no-upx    build without UPX (the same as {NO_UPX}=1): a larger {RESULT},
              which antivirus programs flag less often
  --version   show the version and exit
  -h, --help  show this help and exit
""",
    unknown=f"{PROGRAM}: unknown argument {{arg!r}}\nusage: {USAGE}\nSee '{PROGRAM} --help'.",
    repeated=f"{PROGRAM}: argument {{arg!r}} given twice\nusage: {USAGE}\nSee '{PROGRAM} --help'.",
    bad_setting=(f"{PROGRAM}: {NO_UPX}={{value!r}}: set it to 1 to build without UPX, or to 0 or nothing for "
                 f"the usual build."),
    refused=(f"{PROGRAM}: not starting: {{cwd}} holds {{deleted}}, which the build deletes, beside other files:\n"
             f"{{foreign}}. There those names may be yours. Nothing was deleted. Run it in a folder of its\n"
             f"own (one that holds only {RESULT} and your downloads will do), or pass --force to build\n"
             f"here anyway."),
    refused_link=(f"{PROGRAM}: not starting: in {{cwd}}, {{names}} is a link or a junction: the build would\n"
                  f"write or delete at its target. Nothing was deleted. Remove the link, or build in another\n"
                  f"folder."),
    more="{shown} and {count} more",
    interrupted=f"{PROGRAM}: interrupted (Ctrl+C); what the build left in the folder goes at the next run.",
    unexpected=f"{PROGRAM}: unexpected error: {{error}}",
    record="Build record: {path}",
    record_failed="The build record could not be written to {path}: {error}",
    libraries=f"Optional libraries in {RESULT}: {{libraries}}",
    runtimes=f"JavaScript runtimes {RESULT} finds: {{runtimes}}",
    youtube_without_ejs=(f"YouTube: this {RESULT} carries no yt-dlp-ejs, the scripts that solve YouTube's "
                         f"challenges: add --remote-components ejs:github to its commands, and have Deno "
                         f"(winget install DenoLand.Deno, or deno.exe beside {RESULT})."),
    youtube_without_runtime=(f"YouTube: with no JavaScript runtime, {RESULT} cannot solve YouTube's challenges "
                             f"and formats may be missing. Install Deno (winget install DenoLand.Deno), or put "
                             f"deno.exe beside {RESULT}."),
    commit=f"Commit of {RESULT}: {{commit}}",
    version=f"Version of {RESULT}: {{version}}",
    digest=f"SHA-256 of {RESULT}: {{digest}}",
    not_starting=f"{RESULT} does not start: {{why}}",
    could_not_start="it could not be started ({error})",
    ended="it ended with status {status}: {line}",
    ended_silently="it ended with status {status} and printed nothing",
    silent="it printed no version",
    hung="it did not answer within {limit} s and was stopped",
    flooded="it printed more than {limit:,} bytes and was stopped",
    blocked_advice=("Windows or an antivirus program blocked it: its protection history (Windows Security, "
                    "Virus & threat protection, Protection history) names the file and why. Allow it there, or "
                    f"exclude this folder, then try it: .\\{RESULT} --version"),
    hung_advice=(f"An antivirus scan may still hold it: try it in a minute (.\\{RESULT} --version in a console "
                 "in this folder); if it still hangs, look at the antivirus program's protection history."),
    failed_advice=(f"Its own words are above. {RECORD} says how it was built: keep it, with that line, for a "
                   "report to the project."),
    without_upx_asked="Without UPX, as asked.",
    without_upx_tls="Without UPX: {dll} keeps thread-local storage (TLS), which UPX 4.2.2 breaks.",
    rebuilding=f"Building again, without UPX: the {RESULT} packed with UPX does not start.",
    rebuilt=f"{RESULT} was built without UPX: the one packed with UPX did not start ({{why}}).",
    rebuild_left_nothing=(f"The build without UPX left no new {RESULT}: the one in the folder is the one "
                          f"packed with UPX, which does not start."),
    installing="Installing the source's locked dependencies ({locks}) into {folder}...",
    dependencies_locked="Dependencies: the source's locks ({locks}).",
    dependencies_seven="Dependencies: the seven packages, because {why}.",
    environment_ready="Build environment {how}: {folder}",
    made="made in {seconds:.0f} s",
    reused="reused ({seconds:.0f} s)",
    no_locks="the source has no bundle/requirements",
    no_platform_locks="the source has no locks for {platform}",
    lock_unreadable="{lock} cannot be read ({error})",
    lock_not_installable="{lock} cannot be installed in this Python ({line})",
    pyinstaller_from_index=("PyInstaller {version} from the package index: yt-dlp's own build of it could not be "
                            "fetched ({error})."),
    wheel_mismatch="{url} does not match bundle/requirements/{lock} (sha256 {digest}): nothing was installed from it.",
    lock_mismatch="A package of bundle/requirements/{lock} does not match its hash: nothing was installed from it.\n"
                  "{detail}",
    unwritable="The build environment's folder cannot be written: {folder} ({error})",
    update_hint=f"This {RESULT} was built from source by {PROGRAM}: to update it, run {PROGRAM} again in its folder",
)

SPANISH = Texts(
    help=f"""uso: {USAGE}

Compila {RESULT} en la carpeta actual: busca un intérprete de Python instalado, descarga UPX
y el código de yt-dlp, instala las dependencias de compilación que fija el propio código
(con --require-hashes) en un entorno propio de la compilación, en la carpeta de caché del
usuario, y empaqueta el ejecutable con PyInstaller. Necesita Internet y un Python de
python.org. Los paquetes del propio intérprete quedan como estaban.

Antes de dar la compilación por buena, arranca el {RESULT} nuevo con --version y lee en su
cabecera detallada lo que lleva. Si el comprimido con UPX no arranca, lo compila otra vez
sin UPX. Con un intérprete cuya DLL usa almacenamiento local de subprocesos (Python 3.12 y
posteriores), que UPX 4.2.2 estropea, compila sin UPX desde el principio. Lo que lo hizo
queda escrito en {RECORD}, a su lado.

Aviso: la compilación trabaja en la carpeta actual y borra de ella las carpetas
{_FOLDERS}
y los archivos {_FILES};
un {RESULT} nuevo sustituye al que haya. No se inicia si alguno de esos nombres está junto a
otros archivos, ni si un enlace o una unión lleva uno de sus nombres.

opciones:
  --force     compilar aunque los nombres de la compilación estén junto a otros archivos
  --no-upx    compilar sin UPX (lo mismo que {NO_UPX}=1): un {RESULT} más
              grande, que los antivirus marcan menos a menudo
  --version   mostrar la versión y salir
  -h, --help  mostrar esta ayuda y salir
""",
    unknown=f"{PROGRAM}: argumento desconocido {{arg!r}}\nuso: {USAGE}\nVéase '{PROGRAM} --help'.",
    repeated=f"{PROGRAM}: argumento {{arg!r}} repetido\nuso: {USAGE}\nVéase '{PROGRAM} --help'.",
    bad_setting=(f"{PROGRAM}: {NO_UPX}={{value!r}}: ponlo a 1 para compilar sin UPX, o a 0 o vacío para la "
                 f"compilación habitual."),
    refused=(f"{PROGRAM}: no se inicia: {{cwd}} contiene {{deleted}}, que la compilación borra, junto a otros\n"
             f"archivos: {{foreign}}. Ahí esos nombres pueden ser tuyos. No se ha borrado nada. Usa una\n"
             f"carpeta propia del programa (vale una con solo {RESULT} y tus descargas), o pasa --force\n"
             f"para compilar aquí de todos modos."),
    refused_link=(f"{PROGRAM}: no se inicia: en {{cwd}}, {{names}} es un enlace o una unión: la compilación\n"
                  f"escribiría o borraría en su destino. No se ha borrado nada. Quita el enlace o compila en\n"
                  f"otra carpeta."),
    more="{shown} y {count} más",
    interrupted=f"{PROGRAM}: interrumpido (Ctrl+C); lo que la compilación dejó en la carpeta se borra en la siguiente.",
    unexpected=f"{PROGRAM}: error inesperado: {{error}}",
    record="Registro de la compilación: {path}",
    record_failed="No se pudo escribir el registro de la compilación en {path}: {error}",
    libraries=f"Bibliotecas opcionales de {RESULT}: {{libraries}}",
    runtimes=f"Entornos de JavaScript que encuentra {RESULT}: {{runtimes}}",
    youtube_without_ejs=(f"YouTube: este {RESULT} no lleva yt-dlp-ejs, los scripts que resuelven los desafíos "
                         f"de YouTube: añade --remote-components ejs:github a sus órdenes y ten Deno (winget "
                         f"install DenoLand.Deno, o deno.exe junto a {RESULT})."),
    youtube_without_runtime=(f"YouTube: sin un entorno de JavaScript, {RESULT} no puede resolver los desafíos de "
                             f"YouTube y pueden faltar formatos. Instala Deno (winget install DenoLand.Deno) o "
                             f"pon deno.exe junto a {RESULT}."),
    commit=f"Commit de {RESULT}: {{commit}}",
    version=f"Versión de {RESULT}: {{version}}",
    digest=f"SHA-256 de {RESULT}: {{digest}}",
    not_starting=f"{RESULT} no arranca: {{why}}",
    could_not_start="no se pudo iniciar ({error})",
    ended="terminó con el estado {status}: {line}",
    ended_silently="terminó con el estado {status} sin escribir nada",
    silent="no escribió ninguna versión",
    hung="no respondió en {limit} s y se detuvo",
    flooded="escribió más de {limit:,} bytes y se detuvo",
    blocked_advice=("Windows o un antivirus lo bloqueó: su historial de protección (Seguridad de Windows, "
                    "Protección antivirus y contra amenazas, Historial de protección) nombra el archivo y el "
                    f"motivo. Permítelo ahí o excluye esta carpeta, y pruébalo: .\\{RESULT} --version"),
    hung_advice=(f"Puede que un análisis del antivirus aún lo retenga: pruébalo dentro de un minuto "
                 f"(.\\{RESULT} --version en una consola abierta en esta carpeta); si sigue sin responder, mira el "
                 "historial de protección del antivirus."),
    failed_advice=(f"Sus propias palabras están arriba. {RECORD} dice cómo se compiló: guárdalo, con esa línea, "
                   "para avisar al proyecto."),
    without_upx_asked="Sin UPX, como se pidió.",
    without_upx_tls="Sin UPX: {dll} usa almacenamiento local de subprocesos (TLS), que UPX 4.2.2 estropea.",
    rebuilding=f"Compilando de nuevo, sin UPX: el {RESULT} comprimido con UPX no arranca.",
    rebuilt=f"{RESULT} se compiló sin UPX: el comprimido con UPX no arrancaba ({{why}}).",
    rebuild_left_nothing=(f"La compilación sin UPX no dejó un {RESULT} nuevo: el de la carpeta es el "
                          f"comprimido con UPX, que no arranca."),
    installing="Instalando las dependencias que fija el código ({locks}) en {folder}...",
    dependencies_locked="Dependencias: las que fija el código ({locks}).",
    dependencies_seven="Dependencias: los siete paquetes, porque {why}.",
    environment_ready="Entorno de compilación {how}: {folder}",
    made="preparado en {seconds:.0f} s",
    reused="reutilizado ({seconds:.0f} s)",
    no_locks="el código no trae bundle/requirements",
    no_platform_locks="el código no fija dependencias para {platform}",
    lock_unreadable="no se puede leer {lock} ({error})",
    lock_not_installable="{lock} no se puede instalar en este Python ({line})",
    pyinstaller_from_index=("PyInstaller {version} del índice de paquetes: no se pudo descargar la compilación "
                            "propia de yt-dlp ({error})."),
    wheel_mismatch="{url} no coincide con bundle/requirements/{lock} (sha256 {digest}): no se instaló nada de él.",
    lock_mismatch="Un paquete de bundle/requirements/{lock} no coincide con su huella: no se instaló nada de él.\n"
                  "{detail}",
    unwritable="No se puede escribir en la carpeta del entorno de compilación: {folder} ({error})",
    update_hint=(f"Este {RESULT} lo compiló {PROGRAM} desde el código fuente: para actualizarlo, vuelve a abrir "
                 f"{PROGRAM}.exe en su carpeta"),
)
