"""The check's preview: the bar as it will look, one strip per ad, drawn by
ImageMagick's convert (the layout is described in check.py's help)."""
import os
import re
import subprocess
import tempfile

from adset import Failed, spaced

BAND = 14
# The class background, COLOR_MENUTEXT: black in the default colours; the bar
# fills the memory bitmap with it, so a GIF's transparent parts show it too.
BACKGROUND = "black"
PLACEHOLDER = "#505050"
# Band colours by verdict: (background, text).
COLOURS = {"pass": ("#c0c0c0", "black"), "warning": ("#ffc640", "black"), "error": ("#b00000", "white")}


def text(s):
    # convert expands % escapes in -annotate text.
    return s.replace("\\", "\\\\").replace("%", "%%")


def band(width, words, verdict):
    back, ink = COLOURS[verdict]
    return ["(", "-size", f"{width}x{BAND}", f"xc:{back}", "-fill", ink, "-pointsize", "11",
            "-annotate", "+4+11", text("  ".join(words)), ")"]


def failed_strip(width, height, why):
    # Hatched red: nothing a designer delivers looks like it, least of all the black the bar shows instead.
    return ["(", "-size", f"{width}x{height}", "pattern:left30", "-fill", "#ff9090", "-opaque", "white",
            "-fill", "#b00000", "-opaque", "black", "-gravity", "center", "-fill", "white", "-undercolor", "#b00000",
            "-pointsize", "13", "-annotate", "+0+0", text(f" NOT SHOWN: the bar stays black here ({why}) "),
            # Settings outlive the parentheses: the bands' text is placed by its baseline again.
            "+gravity", "-undercolor", "none", ")"]


def draw(out, ads, geometry, verdict_line, folder):
    client_w, client_h, place = geometry
    failed = any(ad.errors for ad in ads)
    worst = "error" if failed else "warning" if any(ad.warnings for ad in ads) else "pass"
    args = ["convert", *band(client_w, [verdict_line], worst)]
    for n, ad in enumerate(ads):
        pic = ad.picture
        problems = [f"{level}: {'' if subject == ad.subject else subject + ': '}{text}"
                    for level, lines in (("error", ad.errors), ("warning", ad.warnings)) for subject, text in lines]
        size = [f"{pic.fmt} {pic.w}x{pic.h}"] if pic and pic.w else []
        sent = [f"{spaced(ad.sent)} bytes sent"] if ad.sent is not None else []
        # An ad with an error may still show (one over the byte budget): then it is framed in red.
        shown = ad.reached and pic is not None and not pic.error
        metafile = shown and pic.fmt in ("WMF", "EMF")
        note = ["a metafile: its size and place here, not its picture"] if metafile else []
        args += band(client_w, [ad.name, *size, *sent, *note, *problems],
                     "error" if ad.errors else "warning" if ad.warnings else "pass")
        if not shown:
            args += failed_strip(client_w, client_h, re.split(r"[:;,(]", ad.errors[0][1])[0].strip()[:70])
            continue
        args += ["(", "-size", f"{client_w}x{client_h}", f"xc:{BACKGROUND}"]
        x = place(pic.w)
        if metafile:
            box = f"{x},0 {x + pic.w - 1},{pic.h - 1}"
            args += ["-fill", PLACEHOLDER, "-stroke", "white", "-draw",
                     f"rectangle {box} line {box} line {x},{pic.h - 1} {x + pic.w - 1},0", "-stroke", "none"]
        else:
            path = os.path.join(folder, f"{n}.ad")
            with open(path, "wb") as f:
                f.write(ad.data)
            coder = pic.fmt.split()[-1].lower()
            # The loader ignores a 32-bit BMP's alpha bytes; Wine's bar draws an icon's colours
            # through its mask onto black, whatever their alpha. The rest is flattened on the background.
            picture = ([f"ico:{path}[{pic.icon}]", "-alpha", "off"] if coder == "ico"
                       else [f"bmp:{path}[0]", "-alpha", "off"] if coder == "bmp"
                       else [f"{coder}:{path}[0]", "-background", BACKGROUND, "-flatten"])
            args += ["(", *picture, ")", "-geometry", f"{x:+d}+0", "-composite"]
        if ad.errors:
            args += ["-fill", "none", "-stroke", COLOURS["error"][0], "-strokewidth", "4", "-draw",
                     f"rectangle 1,1 {client_w - 2},{client_h - 2}", "-stroke", "none"]
        args.append(")")
    args += ["-append", "+repage", "-depth", "8", f"png:{out}"]
    try:
        subprocess.run(args, check=True, capture_output=True, text=True, timeout=600)
    except subprocess.CalledProcessError as e:
        said = (e.stderr.strip().splitlines() or ["no reason given"])[-1]
        raise Failed(f"cannot draw the preview {out}: convert said: {said}")
    except subprocess.TimeoutExpired:
        raise Failed(f"cannot draw the preview {out}: convert took more than 10 minutes")


def writable(out):
    # Before the check runs: a preview that cannot be written makes the call a wrong one.
    where = os.path.dirname(os.path.abspath(out))
    if os.path.isdir(out) or not os.path.isdir(where) or not os.access(where, os.W_OK) or (
            os.path.exists(out) and not os.access(out, os.W_OK)):
        raise Failed(f"--preview {out}: cannot write a file there")


def render(out, ads, geometry, verdict_line):
    with tempfile.TemporaryDirectory() as folder:
        draw(out, ads, geometry, verdict_line, folder)
