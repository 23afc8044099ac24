import numpy as np
import pytest

from vantrell_tools import geometry as geo


def test_line_through_gives_signed_distances():
    line = geo.line_through((0.0, 0.0), (4.0, 0.0))           # the x axis
    assert np.hypot(line[0], line[1]) == pytest.approx(1.0)
    assert abs(line @ (7.0, 3.0, 1.0)) == pytest.approx(3.0)  # 3 below the axis
    assert line @ (7.0, 3.0, 1.0) == pytest.approx(-(line @ (7.0, -3.0, 1.0)))


@pytest.mark.parametrize("p, q, r, s, expected", [
    ((1, 0), (1, 5), (0, 2), (3, 2), (1.0, 2.0)),            # x = 1 meets y = 2
    ((0, 0), (1, 1), (0, 2), (2, 0), (1.0, 1.0)),            # the two diagonals of a square
    ((0, 0), (2, 1), (0, 3), (4, 1), (3.0, 1.5)),            # y = x / 2 meets y = 3 - x / 2
])
def test_intersections_of_hand_worked_lines(p, q, r, s, expected):
    point = geo.intersect(geo.line_through(p, q), geo.line_through(r, s))
    assert geo.euclidean(point)[0] == pytest.approx(expected)


def test_parallel_lines_meet_at_infinity_in_their_direction():
    point = geo.intersect(geo.line_through((0, 0), (3, 1)), geo.line_through((0, 5), (3, 6)))
    assert point[2] == pytest.approx(0.0, abs=1e-12)
    assert point[1] / point[0] == pytest.approx(1.0 / 3.0)


def test_normalising_transform_centres_and_scales_to_rms_sqrt2():
    pts = np.array([[10.0, 20.0], [30.0, 20.0], [30.0, 60.0], [10.0, 60.0]])
    t = geo.normalising_transform(pts)
    q = geo.apply_homography(t, pts)
    assert q.mean(axis=0) == pytest.approx([0.0, 0.0], abs=1e-12)
    assert np.sqrt((q ** 2).sum(axis=1).mean()) == pytest.approx(np.sqrt(2.0))
    # all points equal: a translation only, no division by zero
    assert np.isfinite(geo.normalising_transform(np.ones((3, 2)))).all()


H_KNOWN = np.array([[1.2, 0.1, 30.0], [-0.05, 0.9, 12.0], [2e-4, -1e-4, 1.0]])


@pytest.mark.parametrize("n", [4, 12])
def test_fit_homography_recovers_a_known_matrix(n):
    rng = np.random.default_rng(1)
    src = rng.uniform(0, 800, (n, 2)) if n > 4 else np.array([[0, 0], [800, 0], [800, 600], [0, 600]], float)
    dst = geo.apply_homography(H_KNOWN, src)
    h = geo.fit_homography(src, dst)
    assert np.allclose(h, H_KNOWN, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("src, why", [
    (np.array([[0, 0], [1, 0], [2, 0], [0, 1]], float), "degenerate"),
    (np.array([[0, 0], [1, 0], [0, 1]], float), "four point pairs"),
])
def test_fit_homography_fails_as_a_value(src, why):
    result = geo.fit_homography(src, src)
    assert isinstance(result, geo.FailedEstimation) and not result
    assert why in result.reason


def segments_through(point, angles, lengths, start=0.2):
    """Segments on lines through `point`, at `angles` (degrees), ending at
    distances start * length .. length from it."""
    out = []
    for a, length in zip(angles, lengths):
        d = np.array([np.cos(np.radians(a)), np.sin(np.radians(a))])
        out.append(np.concatenate([point + start * length * d, point + length * d]))
    return np.array(out)


def test_vanishing_point_of_concurrent_segments_is_their_meeting_point():
    vp = np.array([400.0, -2000.0])
    ends = segments_through(vp, [80, 84, 88, 92, 96, 100], [2400, 2300, 2500, 2450, 2350, 2600])
    v = geo.vanishing_point(ends, np.arange(1.0, 7.0))
    assert geo.euclidean(v)[0] == pytest.approx(vp, rel=1e-9)


def test_vanishing_point_of_parallel_segments_is_their_direction():
    ends = np.array([[0, 0, 10, 30], [50, 0, 60, 30], [100, 10, 110, 40]], float)
    v = geo.vanishing_point(ends)
    assert v[2] == pytest.approx(0.0, abs=1e-12)
    assert v[1] / v[0] == pytest.approx(3.0)


def test_consensus_ignores_outliers_and_is_exact_on_clean_lines():
    vp = np.array([320.0, 5000.0])
    good = segments_through(vp, np.linspace(-95, -85, 9), np.full(9, 4800.0), start=0.92)
    bad = np.array([[10, 10, 200, 150], [300, 20, 310, 300], [600, 100, 20, 400], [50, 400, 400, 380]], float)
    ends = np.concatenate([bad[:2], good, bad[2:]])
    weights = np.concatenate([[3.0, 2.5], np.ones(9), [2.0, 1.5]])   # heavier one by one
    result = geo.consensus_vanishing_point(ends, weights)
    assert geo.euclidean(result.point)[0] == pytest.approx(vp, rel=1e-7)
    assert result.inliers.tolist() == list(range(2, 11))


def test_consensus_fails_as_a_value_on_one_segment():
    assert not geo.consensus_vanishing_point(np.array([[0, 0, 1, 1]], float), np.ones(1))


def test_direction_errors_are_sines_of_the_angle():
    ends = np.array([[0, 0, 10, 0], [0, 0, 0, 10], [0, 0, 10, 10]], float)
    err = geo.direction_errors(ends, np.array([1.0, 0.0, 0.0]))   # horizontal direction
    assert err == pytest.approx([0.0, 1.0, np.sqrt(0.5)])


@pytest.mark.parametrize("a, b", [((0, 0.2, 1), (0, 1, 0)), ((1, 2, 3), (-3, 1, 0.5)), ((1, 0, 0), (1, 0, 0))])
def test_rotation_onto_is_a_rotation_taking_a_to_b(a, b):
    r = geo.rotation_onto(np.array(a, float), np.array(b, float))
    assert r @ r.T == pytest.approx(np.eye(3), abs=1e-12)
    assert np.linalg.det(r) == pytest.approx(1.0)
    assert r @ (np.array(a) / np.linalg.norm(a)) == pytest.approx(np.array(b) / np.linalg.norm(b))


def test_polygon_area_is_positive_clockwise_on_screen():
    square = np.array([[0, 0], [2, 0], [2, 3], [0, 3]], float)   # TL TR BR BL
    assert geo.polygon_area(square) == 6.0
    assert geo.polygon_area(square[::-1]) == -6.0


def rectangle_homography(focal, tilt_deg, turn_deg, side=800.0):
    """Homography from the unit square to the image (principal point at the
    origin) of a 1 x 0.7 rectangle at distance 3, seen by a turned camera."""
    a, b = np.radians(tilt_deg), np.radians(turn_deg)
    rx = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    ry = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    k = np.diag([focal, focal, 1.0])
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], float)
    world = np.c_[square * (1.0, 0.7) - (0.5, 0.35), np.full(4, 3.0)]
    img = world @ (k @ rx @ ry).T
    return geo.fit_homography(square, img[:, :2] / img[:, 2:])


@pytest.mark.parametrize("focal, tilt, turn", [(700.0, 25.0, 15.0), (1300.0, -20.0, 30.0)])
def test_focal_from_rectangle_recovers_the_camera(focal, tilt, turn):
    h = rectangle_homography(focal, tilt, turn)
    found = geo.focal_from_rectangle(h, 800.0)
    assert found == pytest.approx(focal, rel=0.01)       # grid steps of 0.3 %


def test_focal_from_a_frontal_rectangle_is_the_default():
    h = rectangle_homography(700.0, 0.0, 0.0)            # no perspective at all
    assert geo.focal_from_rectangle(h, 800.0) == pytest.approx(geo.DEFAULT_FOCAL * 800.0, rel=0.005)
