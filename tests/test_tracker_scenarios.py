"""Still-target removal end to end: generated frame sequences through RecognitionMode.main."""
import numpy as np
import pytest

from object_detection.post_processing.recognition_mode import target

OBSERVE = target.OBSERVE_FRAMES

INFO = {"behavior_info": "b", "info_name": "n", "info_ftime": "f", "info_type": "t"}
CAR = [400, 300, 600, 420]


def frame(boxes, number=1002001):
    return {"alarmBehavior": [{
        "behavior_number": number, "alarm_info": "", "alarm_info_dict": dict(INFO),
        "result": [{"roi_name": "gate", "boxes": [list(map(int, b)) for b in boxes]}],
    }]}


def alarmed(rm, boxes, dev="cam"):
    return bool(rm.main(None, dev, frame(boxes), "TargetRadius")["alarmBehavior"])


def parked(rng, box, jitter=3):
    return (np.array(box) + rng.integers(-jitter, jitter + 1, 4)).tolist()


def walker(x0, speed, f, y0=500):
    return [x0 + speed * f, y0, x0 + speed * f + 80, y0 + 200]


@pytest.mark.parametrize("cars", [[CAR], [CAR, [900, 300, 1100, 420]]])
def test_parked_cars_lose_alarm_after_observation(rm, cars):
    rng = np.random.default_rng(0)
    seen = [alarmed(rm, [parked(rng, c) for c in cars]) for _ in range(50)]
    assert seen == [True] * (OBSERVE - 1) + [False] * (51 - OBSERVE)


@pytest.mark.parametrize("walkers", [1, 2])
@pytest.mark.parametrize("speed", [15, 3, 2])
def test_walkers_keep_alarm_from_first_frame(rm, walkers, speed):
    # 2 px per frame is 1% of the 200 px height; a lone walker must not silence its region.
    rng = np.random.default_rng(1)
    seen = [alarmed(rm, [parked(rng, walker(100 + 900 * k, speed * (-1) ** k, f)) for k in range(walkers)])
            for f in range(60)]
    assert all(seen)


def test_swaying_stander_stays_still(rm):
    # Drifts 0.25% of its height per frame and sways 1%, boxes jitter by 2 px.
    rng = np.random.default_rng(4)
    seen = []
    for f in range(200):
        dx = 0.5 * f if f < 60 else 30 + 2 * np.sin(f / 8)
        seen.append(alarmed(rm, [parked(rng, walker(300 + dx, 0, f), 2)]))
    assert not any(seen[OBSERVE:])


@pytest.mark.parametrize("walkers, kept", [(1, False), (2, True)])
def test_one_moving_box_is_tolerated(rm, walkers, kept):
    rng = np.random.default_rng(2)
    for f in range(30):
        boxes = [parked(rng, CAR)] + [walker(100 + 400 * k, 20, f) for k in range(walkers)]
        seen = alarmed(rm, boxes)
    assert seen == kept


def test_leaving_and_arriving_targets(rm):
    cars = [CAR, [900, 300, 1100, 420], [1300, 600, 1500, 720]]
    for _ in range(OBSERVE):
        alarmed(rm, cars)
    assert len(rm.static_list) == 3
    arrived = [100, 100, 300, 220]
    lists = []
    for _ in range(target.COAST_FRAMES + 1):
        alarmed(rm, [cars[0], arrived, cars[2]])
        lists.append((rm.del_list, rm.unmatch_list, len(rm.static_list)))
    # the car that left coasts, then departs; the arrival is new, then watched
    assert [x[:2] for x in lists] == [([], [1])] + [([], [])] * (target.COAST_FRAMES - 1) + [([1], [])]
    assert lists[0][2] == 2
    for _ in range(OBSERVE):
        alarmed(rm, [cars[0], arrived, cars[2]])
    assert len(rm.static_list) == 3


def test_classes_never_match(mod):
    cam = mod.Camera()
    for _ in range(OBSERVE - 1):
        cam.run([CAR], ["1002001"])
    static, unmatch, _, gone = cam.run([CAR, CAR], ["1002006", "1002001"])
    assert (len(static), unmatch, gone) == (1, [0], [])
    assert [t.cls for t in cam.state_list] == ["1002001", "1002006"]


def test_refresh_starts_fresh_trackers(rm, mod, monkeypatch):
    now = [0.0]
    monkeypatch.setattr(mod, "get_current_time", lambda: now[0])
    cars = [CAR, [900, 300, 1100, 420]]
    seen = []
    for t in list(range(OBSERVE)) + [599, 600] + list(range(601, 601 + OBSERVE)):
        now[0] = float(t)
        seen.append(alarmed(rm, cars))
    # The refresh at 600 drops the trackers after that frame's result is decided.
    quiet = [True] * (OBSERVE - 1) + [False]
    assert seen == quiet + [False, False] + quiet
