# Pitch and formant tracks of every *.wav in a folder, for measure_sound.py.
#   praat --run measure_sound.praat FOLDER FLOOR CEILING
# Prints per file a line "file NAME", then one line per pitch frame (5 ms
# apart): "time f0 f1 f2" in seconds and Hz, "--undefined--" where praat
# has no value.
# Pitch: autocorrelation, the given floor and ceiling, praat's defaults
# otherwise. Formants: Burg, 5 below 5000 Hz (a male voice), 25 ms window,
# pre-emphasis from 50 Hz; read at the pitch frames' times.
form Tracks
  sentence folder .
  positive floor 75
  positive ceiling 300
endform
files = Create Strings as file list: "files", folder$ + "/*.wav"
Sort
n = Get number of strings
for i to n
  selectObject: files
  name$ = Get string: i
  sound = Read from file: folder$ + "/" + name$
  pitch = To Pitch: 0.005, floor, ceiling
  selectObject: sound
  formant = To Formant (burg): 0.005, 5, 5000, 0.025, 50
  appendInfoLine: "file ", name$
  selectObject: pitch
  frames = Get number of frames
  for k to frames
    selectObject: pitch
    t = Get time from frame number: k
    f0 = Get value in frame: k, "Hertz"
    selectObject: formant
    f1 = Get value at time: 1, t, "hertz", "linear"
    f2 = Get value at time: 2, t, "hertz", "linear"
    appendInfoLine: fixed$ (t, 6), " ", fixed$ (f0, 2), " ", fixed$ (f1, 2), " ", fixed$ (f2, 2)
  endfor
  removeObject: sound, pitch, formant
endfor
removeObject: files
